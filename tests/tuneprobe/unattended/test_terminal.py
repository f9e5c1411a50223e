"""The key read after a failed start-up ("Press ENTER to exit ..."), at a
terminal (a pty) and with piped input.

An arrow key sends three bytes; all of them are the program's, and none may
be left for the shell that reads the terminal next.
"""
import os
import select
import signal
import subprocess
import termios
import time

from conftest import TUNEPROBE, program_env, run_tuneprobe

# Every connection attempt fails; virtual time skips the pauses between them.
FAILING_CONNECT = {"CALSIM_FAULTS": "ConnectDevice"}
PROMPT = b"Press ENTER to exit ..."


def read_available(fd, wait):
    """What fd has to read within wait seconds of quiet."""
    data = b""
    while select.select([fd], [], [], wait)[0]:
        try:
            chunk = os.read(fd, 4096)
        except OSError:  # the pty's other side has closed
            break
        if not chunk:
            break
        data += chunk
    return data


def wait_for(condition, what, timeout=20.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.01)


def start_at_the_key(master, slave):
    """tuneprobe on the pty, waiting for the key after a failed start-up;
    returns the process and its output so far."""
    proc = subprocess.Popen([TUNEPROBE], stdin=slave, stdout=slave, stderr=subprocess.PIPE,
                            env=program_env(FAILING_CONNECT), start_new_session=True)
    os.write(master, b"0\n")
    output = b""

    def prompt_shown():
        nonlocal output
        output += read_available(master, 0.05)
        return PROMPT in output

    wait_for(prompt_shown, "the program asks for the key")
    # The key goes in once the program reads keys, not lines.
    wait_for(lambda: not termios.tcgetattr(slave)[3] & termios.ICANON, "the terminal in key mode")
    return proc, output


def test_ctrl_c_at_the_key_gives_the_terminal_back():
    master, slave = os.openpty()
    try:
        proc, _ = start_at_the_key(master, slave)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=20) == 130
        proc.stderr.close()
        assert termios.tcgetattr(slave)[3] & termios.ICANON and termios.tcgetattr(slave)[3] & termios.ECHO
    finally:
        os.close(master)
        os.close(slave)


def test_arrow_key_is_taken_whole_and_the_prompt_ends_its_line():
    master, slave = os.openpty()
    try:
        proc, output = start_at_the_key(master, slave)
        try:
            os.write(master, b"\x1b[A")
            assert proc.wait(timeout=20) == 1, proc.stderr.read()
            output += read_available(master, 0.2)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            proc.stderr.close()

        assert output.endswith(PROMPT + b"\r\n"), output[-200:]
        assert termios.tcgetattr(slave)[3] & termios.ICANON, "the terminal settings are restored"
        # Key mode without waiting: anything left of the key would be read now.
        attributes = termios.tcgetattr(slave)
        attributes[3] &= ~termios.ICANON
        attributes[6][termios.VMIN] = 0
        attributes[6][termios.VTIME] = 0
        termios.tcsetattr(slave, termios.TCSANOW, attributes)
        assert os.read(slave, 64) == b""
    finally:
        os.close(master)
        os.close(slave)


def test_piped_input_ends_with_the_prompt_as_it_stands():
    run = run_tuneprobe([], "0\n\n", env=FAILING_CONNECT)
    assert run.returncode == 1
    assert run.stdout.endswith(PROMPT), run.stdout[-200:]

/* One pytest case's outcome as its file's run left it (tests/pylib/pytest_ctest.py):
 * the exit status on the first line (77: skipped), the report after it.
 * CTest starts one of these per case, most of them after their run and
 * one after the other: a static program with no loader to run starts in a
 * fraction of a shell's time. */
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void WriteAll(const char *text, size_t size)
{
    while (size > 0) {
        ssize_t n = write(STDOUT_FILENO, text, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text += n;
        size -= (size_t)n;
    }
}

int main(int argc, char **argv)
{
    static const char kNoResult[] =
        "no result for this case: its file's run did not reach it (see the file's own test)\n";
    int fd = argc == 2 ? open(argv[1], O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) {
        WriteAll(kNoResult, sizeof kNoResult - 1);
        return 1;
    }
    char buffer[65536];
    int status = -1;
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        const char *text = buffer;
        if (status < 0) { /* the first block holds the status line */
            const char *end = memchr(buffer, '\n', (size_t)n);
            if (end == NULL)
                break;
            status = atoi(buffer);
            text = end + 1;
        }
        WriteAll(text, (size_t)(buffer + n - text));
    }
    close(fd);
    if (status < 0 || status > 255) {
        WriteAll(kNoResult, sizeof kNoResult - 1);
        return 1;
    }
    return status;
}

# Fails unless the library defines exactly its exports.
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^ \n]+\n" names "${listing}")
set(found "")
foreach(line IN LISTS names)
  string(STRIP "${line}" name)
  list(APPEND found "${name}")
endforeach()
list(SORT found)
set(expected CloseCommunicationPort OpenCommunicatonPort ReadDataMessage
    RegisterCallbackForProxy SendDataMessage rdmremote wrmremote
    FerryVersion FerryResultText FerryGetLimits FerrySetLimits FerryLinkState
    FerryDroppedMessages FerryInterrupt)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported: ${found}\nexpected: ${expected}")
endif()

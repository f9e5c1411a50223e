# Run after a GoogleTest program is built (gtest_suites() in
# tests/CMakeLists.txt): lists its suites and writes OUT, which CTest
# includes: one test per suite named in COSTS (the long ones), PREFIX
# followed by the suite's name, running the program on that suite alone,
# and one test named after the program that runs all its other suites.
#
#   cmake -DEXE=... -DOUT=... -DPREFIX=... -DLABELS=A,B -DCOSTS=SUITE=S,... -DTIMEOUT=... -DWORKDIR=...
#         -P gtest_suites.cmake
execute_process(COMMAND ${EXE} --gtest_list_tests
  OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status TIMEOUT 60)
if(NOT status EQUAL 0)
  file(REMOVE ${OUT})
  message(FATAL_ERROR "${EXE} --gtest_list_tests failed (${status}):\n${errors}")
endif()

string(REPLACE "," ";" LABELS "${LABELS}")
string(REPLACE "," ";" COSTS "${COSTS}")

# A suite's line starts in the first column and ends with a dot, before
# any "# TypeParam" comment; cases are indented. Characters that CMake
# lists treat specially cannot be in a suite's name, so they go first.
string(REGEX REPLACE "[][;\\\\]" "_" listing "${listing}")
string(REPLACE "\n" ";" lines "${listing}")
set(content "")
set(count 0)
set(apart "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([A-Za-z_][A-Za-z0-9_/]*)\\.( +#.*)?$")
    set(suite ${CMAKE_MATCH_1})
    math(EXPR count "${count} + 1")
    foreach(entry IN LISTS COSTS)
      if(entry MATCHES "^(.*)=([0-9.]+)$" AND CMAKE_MATCH_1 STREQUAL suite)
        set(name "${PREFIX}${suite}")
        string(APPEND content
          "add_test([==[${name}]==] [==[${EXE}]==] [==[--gtest_filter=${suite}.*]==])\n"
          "set_tests_properties([==[${name}]==] PROPERTIES LABELS [==[${LABELS}]==] TIMEOUT ${TIMEOUT}"
          " COST ${CMAKE_MATCH_2} WORKING_DIRECTORY [==[${WORKDIR}]==])\n")
        list(APPEND apart "${suite}.*")
      endif()
    endforeach()
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${EXE} lists no test suite")
endif()
list(LENGTH apart separate)
if(separate LESS count)
  get_filename_component(name ${EXE} NAME)
  set(filter "")
  if(apart)
    list(JOIN apart ":" filter)
    set(filter " [==[--gtest_filter=-${filter}]==]")
  endif()
  string(APPEND content
    "add_test([==[${name}]==] [==[${EXE}]==]${filter})\n"
    "set_tests_properties([==[${name}]==] PROPERTIES LABELS [==[${LABELS}]==] TIMEOUT ${TIMEOUT} COST 0"
    " WORKING_DIRECTORY [==[${WORKDIR}]==])\n")
endif()
# Unchanged content keeps its time stamp: CTest need not read it again.
if(EXISTS ${OUT})
  file(READ ${OUT} old)
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUT} "${content}")
endif()

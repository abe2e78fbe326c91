# The native side: the platform-free code with the sanitizers, its tests and
# (with clang) a libFuzzer target.
set(SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(-Wall -Wextra ${SANITIZE})
add_link_options(${SANITIZE})

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

add_library(tavdesk_portable STATIC ${TAVDESK_PORTABLE_SOURCES})
target_include_directories(tavdesk_portable PUBLIC ${CMAKE_SOURCE_DIR})

add_executable(portable_test
  tests/packet_format_test.cpp
  tests/session_portable_test.cpp
  tests/command_line_format_test.cpp
)
target_link_libraries(portable_test PRIVATE tavdesk_portable gtest_main)
add_test(NAME portable_test COMMAND portable_test --gtest_brief=1)
set_tests_properties(portable_test PROPERTIES TIMEOUT 300)

# The fuzzer needs clang's libFuzzer. The code under test is built a second
# time with coverage instrumentation (fuzzer-no-link), so the fuzzer sees the
# decoders and the path check, not only its own harness. ctest runs it for a
# bounded time over the seeds kept in the repo; what it finds on the way
# stays in the build.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  add_library(tavdesk_portable_fuzz STATIC ${TAVDESK_PORTABLE_SOURCES})
  target_include_directories(tavdesk_portable_fuzz PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(tavdesk_portable_fuzz PRIVATE -fsanitize=fuzzer-no-link)
  add_executable(request_fuzzer tests/fuzz/request_fuzzer.cpp)
  target_compile_options(request_fuzzer PRIVATE -fsanitize=fuzzer)
  target_link_options(request_fuzzer PRIVATE -fsanitize=fuzzer)
  target_link_libraries(request_fuzzer PRIVATE tavdesk_portable_fuzz)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz-corpus)
  add_test(NAME request_fuzzer
           COMMAND request_fuzzer -max_total_time=10 -rss_limit_mb=2048 -max_len=4096
                   -print_final_stats=0 ${CMAKE_BINARY_DIR}/fuzz-corpus
                   ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus)
  set_tests_properties(request_fuzzer PROPERTIES TIMEOUT 120)
endif()

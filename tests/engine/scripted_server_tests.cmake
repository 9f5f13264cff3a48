# postbell-check against the scripted servers of tools/support/pop3_servers.py: the delayed-ACK
# stall count (needs root for its network namespace, skipped with 77 otherwise) and the hostile
# servers with their time and memory limits.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
if(TARGET postbell-check)
  add_test(NAME nagle_stall
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/nagle_stall_test.py $<TARGET_FILE:postbell-check>)
  set_tests_properties(nagle_stall PROPERTIES LABELS "engine;threads" SKIP_RETURN_CODE 77 TIMEOUT 60)
  add_test(NAME hostile_servers
           COMMAND Python3::Interpreter ${CMAKE_CURRENT_SOURCE_DIR}/hostile_servers_test.py $<TARGET_FILE:postbell-check>)
  set_tests_properties(hostile_servers PROPERTIES LABELS "engine;threads" TIMEOUT 120)
endif()

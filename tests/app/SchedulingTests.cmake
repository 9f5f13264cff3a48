include(GoogleTest)

add_executable(dialup_gate_test DialupGateTest.cpp)
target_link_libraries(dialup_gate_test PRIVATE postbell_scheduling GTest::gtest_main)
gtest_discover_tests(dialup_gate_test)

add_executable(check_scheduling_test CheckSchedulingTest.cpp)
target_link_libraries(check_scheduling_test PRIVATE postbell_scheduling GTest::gtest_main)
gtest_discover_tests(check_scheduling_test PROPERTIES LABELS threads)

# The one slow test: a worker that ignores StopEvent costs the full wait before it is abandoned.
add_executable(check_scheduling_abandon_test CheckSchedulingAbandonTest.cpp)
target_link_libraries(check_scheduling_abandon_test PRIVATE postbell_scheduling GTest::gtest_main)
add_test(NAME CheckSchedulingAbandon COMMAND check_scheduling_abandon_test)
set_tests_properties(CheckSchedulingAbandon PROPERTIES LABELS "threads;slow" TIMEOUT 120)

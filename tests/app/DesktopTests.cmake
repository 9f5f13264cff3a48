# Tests of the desktop program: the tray decisions and string table (no Qt), the windows
# and tray icon under the offscreen platform, and the whole program under X with Dovecot.
include(GoogleTest)

add_executable(tray_state_tests TrayStateTests.cpp)
target_link_libraries(tray_state_tests PRIVATE postbell_tray_state GTest::gtest_main)
target_compile_definitions(tray_state_tests PRIVATE POSTBELL_VERSION="${PROJECT_VERSION}")
gtest_discover_tests(tray_state_tests DISCOVERY_MODE PRE_TEST)

add_executable(desktop_widget_tests DesktopWidgetTests.cpp)
target_include_directories(desktop_widget_tests PRIVATE ${PROJECT_SOURCE_DIR}/tests/settings)
target_link_libraries(desktop_widget_tests PRIVATE postbell_desktop Qt6::Test GTest::gtest SQLite::SQLite3)
target_compile_definitions(desktop_widget_tests PRIVATE POSTBELL_VERSION="${PROJECT_VERSION}")
gtest_discover_tests(desktop_widget_tests
  DISCOVERY_MODE PRE_TEST
  PROPERTIES LABELS widgets ENVIRONMENT QT_QPA_PLATFORM=offscreen
)

# Screenshots of the tray and the main window land in the build folder.
add_test(NAME desktop_e2e
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/desktop_e2e.sh $<TARGET_FILE:postbell>
                 ${CMAKE_CURRENT_BINARY_DIR})
set_tests_properties(desktop_e2e PROPERTIES LABELS "x11;dovecot" SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL ON)

add_test(NAME desktop_late_tray
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/late_tray_e2e.sh $<TARGET_FILE:postbell>)
set_tests_properties(desktop_late_tray PROPERTIES LABELS "x11" SKIP_RETURN_CODE 77 TIMEOUT 120 RUN_SERIAL ON)

add_test(NAME desktop_store_e2e
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/store_e2e.sh $<TARGET_FILE:postbell>)
set_tests_properties(desktop_store_e2e PROPERTIES LABELS "x11;dovecot" SKIP_RETURN_CODE 77 TIMEOUT 180 RUN_SERIAL ON)

# A new user's way in, with fake desktop services on a private D-Bus bus; waits out the
# 30 s that follow a check twice.
add_test(NAME desktop_bus_e2e
         COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/e2e/desktop_bus_e2e.sh $<TARGET_FILE:postbell>)
set_tests_properties(desktop_bus_e2e PROPERTIES LABELS "x11;dovecot;slow" SKIP_RETURN_CODE 77 TIMEOUT 300 RUN_SERIAL ON)

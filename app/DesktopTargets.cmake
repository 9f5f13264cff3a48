# The desktop program: tray icon, main window, start-up, main loop and shut-down (Qt 6 Widgets).
set(POSTBELL_RESOURCES_DIR ${PROJECT_SOURCE_DIR}/resources)

# The string table; the status texts come from the engine.
add_library(postbell_strings STATIC ${POSTBELL_RESOURCES_DIR}/StringTable.cpp)
target_include_directories(postbell_strings PUBLIC ${POSTBELL_RESOURCES_DIR})
target_compile_definitions(postbell_strings PRIVATE POSTBELL_VERSION="${PROJECT_VERSION}")
target_link_libraries(postbell_strings PUBLIC postbell_engine)

# What the tray icon shows, decided without Qt.
add_library(postbell_tray_state STATIC TrayState.cpp)
target_include_directories(postbell_tray_state PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(postbell_tray_state PUBLIC postbell_strings postbell_settings)

# The icons are PNGs rendered from the SVG sources (resources/icons/render-pngs.sh), so
# neither the build nor the program needs an SVG renderer.
qt_add_resources(POSTBELL_ICON_SOURCES ${POSTBELL_RESOURCES_DIR}/postbell.qrc)

add_library(postbell_desktop STATIC
  CheckTimer.cpp
  SlotRelay.h
  DesktopRun.cpp
  MainWindow.cpp
  NewMailNotice.cpp
  SingleInstance.cpp
  TrayIcon.cpp
  WakeWatch.cpp
  ${POSTBELL_RESOURCES_DIR}/MainWindow.ui
  ${POSTBELL_ICON_SOURCES}
)
set_target_properties(postbell_desktop PROPERTIES AUTOUIC ON AUTOUIC_SEARCH_PATHS ${POSTBELL_RESOURCES_DIR})
target_include_directories(postbell_desktop PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(postbell_desktop PUBLIC
  postbell_tray_state postbell_scheduling postbell_settings postbell_settings_dialog
  Qt6::Widgets Qt6::DBus Qt6::Network)

add_executable(postbell main.cpp)
target_link_libraries(postbell PRIVATE postbell_desktop)
target_compile_definitions(postbell PRIVATE POSTBELL_VERSION="${PROJECT_VERSION}")

install(TARGETS postbell RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${POSTBELL_RESOURCES_DIR}/postbell.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${POSTBELL_RESOURCES_DIR}/icons/postbell.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 22 24 32 48 64 128)
  install(FILES ${POSTBELL_RESOURCES_DIR}/icons/png/postbell-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME postbell.png)
endforeach()

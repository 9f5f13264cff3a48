# The settings dialog and the XDG autostart entry.
find_package(Qt6Keychain REQUIRED)
add_library(postbell_settings_dialog STATIC
  AutostartEntry.cpp
  PasswordKeyring.cpp
  SettingsDialog.cpp
  ${PROJECT_SOURCE_DIR}/resources/SettingsDialog.ui
)
set_target_properties(postbell_settings_dialog PROPERTIES
  AUTOUIC ON AUTOUIC_SEARCH_PATHS ${PROJECT_SOURCE_DIR}/resources)
target_include_directories(postbell_settings_dialog PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(postbell_settings_dialog PUBLIC postbell_settings Qt6::Widgets Qt6Keychain::Qt6Keychain)

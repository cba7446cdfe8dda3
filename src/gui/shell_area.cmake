target_sources(harlune_gui PRIVATE
  app/application_icon.h app/application_icon.cpp
  app/main_window.h app/main_window.cpp
  app/connection_take_worker.h app/connection_take_worker.cpp
  app/window_placement.h app/window_placement.cpp
  app/single_instance.h app/single_instance.cpp
  app/shutdown_signals.h app/shutdown_signals.cpp
  app/unattended_dialogs.h app/unattended_dialogs.cpp
  app/session_end.h app/session_end.cpp)

add_executable(harlune app/main.cpp)
target_link_libraries(harlune PRIVATE harlune_gui)
install(TARGETS harlune RUNTIME DESTINATION bin)

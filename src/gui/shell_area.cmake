target_sources(harlune_gui PRIVATE
  app/application_icon.h app/application_icon.cpp
  app/main_window.h app/main_window.cpp
  app/connection_take_worker.h app/connection_take_worker.cpp
  app/window_placement.h app/window_placement.cpp
  app/single_instance.h app/single_instance.cpp
  app/shutdown_signals.h app/shutdown_signals.cpp
  app/unattended_dialogs.h app/unattended_dialogs.cpp
  app/session_end.h app/session_end.cpp
  app/read_me.h app/read_me.cpp)

# "ReadMeを読む" opens the README.md that packaging/ installs in the doc
# folder; the program finds it from its own folder, whatever the prefix.
include(GNUInstallDirs)
if(IS_ABSOLUTE "${CMAKE_INSTALL_DOCDIR}")
  set(harlune_doc_from_bin "${CMAKE_INSTALL_DOCDIR}")
else()
  file(RELATIVE_PATH harlune_doc_from_bin "/prefix/bin" "/prefix/${CMAKE_INSTALL_DOCDIR}")
endif()
set_property(SOURCE app/read_me.cpp APPEND PROPERTY COMPILE_DEFINITIONS
             "HARLUNE_DOC_FROM_BIN=\"${harlune_doc_from_bin}\"")

add_executable(harlune app/main.cpp)
target_link_libraries(harlune PRIVATE harlune_gui)
install(TARGETS harlune RUNTIME DESTINATION bin)

target_sources(harlune_gui PRIVATE
  app/application_icon.h app/application_icon.cpp
  app/main_window.h app/main_window.cpp
  app/single_instance.h app/single_instance.cpp)

add_executable(harlune app/main.cpp)
target_link_libraries(harlune PRIVATE harlune_gui)
install(TARGETS harlune RUNTIME DESTINATION bin)

target_sources(harlune_gui_tests PRIVATE
  packet_page_test.cpp
  command_page_test.cpp
  edit_command_dialog_test.cpp)

target_sources(harlune_gui_tests PRIVATE
  connection_page_test.cpp
  connection_process_view_test.cpp
  control_page_test.cpp
  edit_rule_dialog_test.cpp)

# The filter page, the filter editor and the options dialog.
target_sources(harlune_gui_tests PRIVATE
  filter_page_test.cpp
  edit_filter_dialog_test.cpp
  process_file_dialog_test.cpp
  options_dialog_test.cpp)
# The rate graph and the filter page's graph pane.
target_sources(harlune_gui_tests PRIVATE rate_graph_test.cpp)

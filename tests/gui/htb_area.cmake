# The HTB page and the class editor.
target_sources(harlune_gui_tests PRIVATE
  htb_page_test.cpp
  edit_htb_class_dialog_test.cpp)
# The HTB page's graph.
target_sources(harlune_gui_tests PRIVATE htb_graph_test.cpp)

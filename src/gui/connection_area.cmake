# The connection monitor page, the connection control page and the rule
# editor.
target_sources(harlune_gui PRIVATE
  models/connection_model.h models/connection_model.cpp
  models/process_tree_model.h models/process_tree_model.cpp
  pages/connection_process_view.h pages/connection_process_view.cpp
  pages/connection_menu_texts.h
  models/rule_list_model.h models/rule_list_model.cpp
  pages/connection_page.h pages/connection_page.cpp
  pages/control_page.h pages/control_page.cpp
  editors/edit_rule_dialog.h editors/edit_rule_dialog.cpp)

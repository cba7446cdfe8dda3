# The HTB page: the class tree and list models, the page and the class editor.
target_sources(harlune_gui PRIVATE
  models/htb_tree_model.h models/htb_tree_model.cpp
  models/htb_list_model.h models/htb_list_model.cpp
  pages/htb_page.h pages/htb_page.cpp
  editors/edit_htb_class_dialog.h editors/edit_htb_class_dialog.cpp)

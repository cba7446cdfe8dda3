# The filter page, the filter editor, the options dialog and the about box.
target_sources(harlune_gui PRIVATE
  models/filter_list_model.h models/filter_list_model.cpp
  pages/filter_page.h pages/filter_page.cpp
  editors/edit_filter_dialog.h editors/edit_filter_dialog.cpp
  editors/options_dialog.h editors/options_dialog.cpp
  editors/about_dialog.h editors/about_dialog.cpp)

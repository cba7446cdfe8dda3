# The packet monitor page, the external command page and their dialogs.
target_sources(harlune_gui PRIVATE
  models/packet_list_model.h models/packet_list_model.cpp
  models/command_list_model.h models/command_list_model.cpp
  pages/packet_page.h pages/packet_page.cpp
  pages/command_page.h pages/command_page.cpp
  editors/edit_command_dialog.h editors/edit_command_dialog.cpp
  editors/input_user_arg_dialog.h editors/input_user_arg_dialog.cpp)

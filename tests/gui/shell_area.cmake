target_sources(harlune_gui_tests PRIVATE main_window_test.cpp single_instance_test.cpp
  qt_translations_test.cpp disconnect_failure_display_test.cpp
  driver_silence_display_test.cpp filtering_off_note_test.cpp shutdown_signal_test.cpp window_placement_test.cpp
  connection_take_test.cpp help_menu_test.cpp)
# The search and the copy keys of the lists.
target_sources(harlune_gui_tests PRIVATE list_search_test.cpp)

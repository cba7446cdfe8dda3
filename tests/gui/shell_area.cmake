target_sources(harlune_gui_tests PRIVATE main_window_test.cpp single_instance_test.cpp
  qt_translations_test.cpp)

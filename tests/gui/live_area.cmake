# The main window against the simulated driver, started as a separate program.
target_sources(harlune_gui_tests PRIVATE
  live_simulator_test.cpp
  ${PROJECT_SOURCE_DIR}/tests/e2e/child.h ${PROJECT_SOURCE_DIR}/tests/e2e/child.cpp
  ${PROJECT_SOURCE_DIR}/tests/e2e/e2e_support.h ${PROJECT_SOURCE_DIR}/tests/e2e/e2e_support.cpp)
target_compile_definitions(harlune_gui_tests PRIVATE
  HARLUNE_PASSTHRU_BIN="$<TARGET_FILE:harlune-passthru>")
add_dependencies(harlune_gui_tests harlune-passthru)

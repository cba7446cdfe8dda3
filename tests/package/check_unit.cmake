# The service's sandbox, checked on the source unit: configured with the
# build tree's daemon as its program (systemd-analyze verify needs it to
# exist), it must load cleanly and score an exposure of at most 4.9; and
# check_unit.sh must fail a unit that is weakened or misspelt.
set(unit_dir "${CMAKE_CURRENT_BINARY_DIR}/package")
set(HARLUNE_BIN_DIR "$<TARGET_FILE_DIR:harlune-passthru>")
set(HARLUNE_DOC_DIR "${PROJECT_SOURCE_DIR}/docs")
configure_file("${PROJECT_SOURCE_DIR}/packaging/harlune-passthru.service"
               "${unit_dir}/harlune-passthru.service.in" @ONLY)
file(GENERATE OUTPUT "${unit_dir}/harlune-passthru.service"
     INPUT "${unit_dir}/harlune-passthru.service.in")
unset(HARLUNE_BIN_DIR)
unset(HARLUNE_DOC_DIR)
add_test(NAME harlune_unit_sandbox
         COMMAND "${CMAKE_CURRENT_LIST_DIR}/check_unit.sh" "${unit_dir}/harlune-passthru.service")
add_test(NAME harlune_check_unit_catches_faults
         COMMAND "${CMAKE_CURRENT_LIST_DIR}/check_unit_test.sh"
                 "${CMAKE_CURRENT_LIST_DIR}/check_unit.sh" "${unit_dir}/harlune-passthru.service")

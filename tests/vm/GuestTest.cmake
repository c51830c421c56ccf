# ksv_add_guest_test(NAME <name> COMMAND <cmd> [args...] [TIMEOUT <seconds>] [UDEV] [USBIP]
#                    [LABELS <label>...])
#
# Registers a CTest test that boots the test guest (tests/vm/run-in-guest.sh)
# and runs COMMAND there, in the test's working directory (the current binary
# dir), against the guest's uhid/hidraw.  Generator expressions work in
# COMMAND.  Every test boots its own guest
# (about 3 s), so group many checks into one command where possible.  UDEV
# starts udevd in the guest first (run-in-guest.sh --udev); USBIP installs usbipd
# and usbip there (run-in-guest.sh --usbip).
#
# Each carries the label "guest" and the LABELS given. Guest tests are skipped (not
# registered) when KSV_GUEST_TESTS is OFF.
include_guard(GLOBAL)
find_program(KSV_QEMU_SYSTEM_X86_64 qemu-system-x86_64)
if(KSV_QEMU_SYSTEM_X86_64)
    set(_ksv_guest_default ON)
else()
    set(_ksv_guest_default OFF)
endif()
option(KSV_GUEST_TESTS "Run the uhid tests in the QEMU test guest" ${_ksv_guest_default})

function(ksv_add_guest_test)
    cmake_parse_arguments(ARG "UDEV;USBIP" "NAME;TIMEOUT" "COMMAND;LABELS" ${ARGN})
    if(NOT KSV_GUEST_TESTS)
        return()
    endif()
    if(NOT ARG_NAME OR NOT ARG_COMMAND)
        message(FATAL_ERROR "ksv_add_guest_test: NAME and COMMAND are required")
    endif()
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 600)
    endif()
    # Not a directory variable: this file is included once, from any directory.
    set(runner "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/run-in-guest.sh")
    set(runner_args --timeout ${ARG_TIMEOUT})
    if(ARG_UDEV)
        list(APPEND runner_args --udev)
    endif()
    if(ARG_USBIP)
        list(APPEND runner_args --usbip)
    endif()
    # A coverage tree: the guest writes its counts below the one writable folder (see
    # cmake/KSVCoverage.cmake), not into the read-only tree.
    if(KSV_GUEST_COVERAGE_DIR)
        list(APPEND runner_args --rw ${KSV_GUEST_COVERAGE_DIR})
    endif()
    add_test(NAME ${ARG_NAME}
             COMMAND ${runner} ${runner_args} -- ${ARG_COMMAND}
             WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    # The guest's own limit fires first; CTest's is the backstop.
    math(EXPR ctest_timeout "${ARG_TIMEOUT} + 60")
    set_tests_properties(${ARG_NAME} PROPERTIES TIMEOUT ${ctest_timeout} RESOURCE_LOCK ksv_guest_cpu)
    set_property(TEST ${ARG_NAME} PROPERTY LABELS guest ${ARG_LABELS})
    if(KSV_GUEST_COVERAGE_DIR)
        set_property(TEST ${ARG_NAME} APPEND PROPERTY ENVIRONMENT
                     "GCOV_PREFIX=${KSV_GUEST_COVERAGE_DIR}")
    endif()
endfunction()

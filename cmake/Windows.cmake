# What only a Windows build needs: version resources, and tests that run under an emulator.

if(WIN32)
    enable_language(RC)
endif()

# qdm_version_resource(<target> DESCRIPTION <text>): embeds a VERSIONINFO resource whose
# FileVersion is the project version (one translation: U.S. English, Unicode).
function(qdm_version_resource target)
    if(NOT WIN32)
        return()
    endif()
    cmake_parse_arguments(ARG "" "DESCRIPTION" "" ${ARGN})
    set(QDM_RC_NAME ${target})
    set(QDM_RC_DESCRIPTION ${ARG_DESCRIPTION})
    set(QDM_RC_FILE_VERSION ${PROJECT_VERSION})
    set(parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH}
        ${PROJECT_VERSION_TWEAK})
    set(numbers)
    foreach(part IN LISTS parts)
        if(part STREQUAL "")
            set(part 0)
        endif()
        list(APPEND numbers ${part})
    endforeach()
    list(JOIN numbers "," QDM_RC_VERSION_COMMAS)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
endfunction()

# A cross build runs its tests under Wine, in a prefix of its own that a fixture starts once.
if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR MATCHES "wine")
    set(QDM_WINE ON)
    set(QDM_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
else()
    set(QDM_WINE OFF)
endif()

# qdm_emulated_test(<test>...): the tests run in the build's Wine prefix once it is up.
function(qdm_emulated_test)
    if(NOT QDM_WINE)
        return()
    endif()
    set_property(TEST ${ARGN} APPEND PROPERTY ENVIRONMENT
        "WINEPREFIX=${QDM_WINEPREFIX}" "WINEDEBUG=-all")
    set_property(TEST ${ARGN} APPEND PROPERTY FIXTURES_REQUIRED wine)
endfunction()

# The fixture: the Wine server started for the whole run (and stopped after it), with every
# standard stream closed, so none of Wine's background processes holds a pipe of ctest's.
function(qdm_wine_fixture)
    if(NOT QDM_WINE)
        return()
    endif()
    set(script ${PROJECT_SOURCE_DIR}/cmake/wine-session.sh)
    add_test(NAME wine.start COMMAND sh ${script} start ${CMAKE_CROSSCOMPILING_EMULATOR})
    add_test(NAME wine.stop COMMAND sh ${script} stop ${CMAKE_CROSSCOMPILING_EMULATOR})
    set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120
        ENVIRONMENT "WINEPREFIX=${QDM_WINEPREFIX};WINEDEBUG=-all")
    set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 60
        ENVIRONMENT "WINEPREFIX=${QDM_WINEPREFIX};WINEDEBUG=-all")
endfunction()

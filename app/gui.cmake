# The window program qdm-writer. Its window and everything Qt-bound go into qdmgui, which the
# program and the window's tests link; main.cpp and the embedded version block belong to the
# program alone.
find_package(Qt6 REQUIRED COMPONENTS Widgets)
find_package(X11)

add_library(qdmgui STATIC
    KeyChord.cpp
    TFrm_Main.cpp
    VirtualDonglePanel.cpp
    WindowOptions.cpp
    WriterApplication.cpp
)
set_target_properties(qdmgui PROPERTIES AUTOMOC ON)
target_link_libraries(qdmgui PUBLIC qdmsession qdmfileversion Qt6::Widgets PRIVATE CLI11::CLI11 qdm_warnings)
if(X11_FOUND AND NOT WIN32 AND NOT APPLE)
    target_sources(qdmgui PRIVATE X11HeldKeys.cpp)
    target_compile_definitions(qdmgui PRIVATE QDM_HAVE_X11)
    target_link_libraries(qdmgui PRIVATE X11::X11)
endif()

add_executable(qdm-writer WIN32 main.cpp)
if(WIN32)
    qdm_version_resource(qdm-writer DESCRIPTION "QDM-OTP Programmer for Writer")
else()
    target_sources(qdm-writer PRIVATE EmbeddedVersion.cpp)
endif()
target_link_libraries(qdm-writer PRIVATE qdmgui qdm_warnings)

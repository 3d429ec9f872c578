# The scan launcher and the menu strings, kept apart from the COM server so
# tests link them directly.
add_library(orn_extension_core STATIC
    ${CMAKE_CURRENT_LIST_DIR}/CorvaneExtHelper.cpp
    ${CMAKE_CURRENT_LIST_DIR}/Helper.cpp)
target_include_directories(orn_extension_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(orn_extension_core PUBLIC
    orn_platform orn_language orn_logging orn_resource shell32 shlwapi advapi32)

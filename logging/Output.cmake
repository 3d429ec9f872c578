# Sources of the manager, section processing and sinks.
list(APPEND ORN_LOGGING_SOURCES
    DefaultLogManager.cpp
    LogManager.cpp
    LogFileSink.cpp
    LogArchive.cpp
    SafeLogFile.cpp
    SyslogSink.cpp
)
set(ORN_LOGGING_HAS_MANAGER ON)

# Cabinet.dll is bound by ordinal, through an import library made from
# CabinetOrdinals.def when the build is configured.
string(REGEX REPLACE "g\\+\\+(-posix)?$" "dlltool" ORN_DLLTOOL_GUESS "${CMAKE_CXX_COMPILER}")
find_program(ORN_DLLTOOL NAMES ${ORN_DLLTOOL_GUESS} i686-w64-mingw32-dlltool REQUIRED)
set(ORN_CABINET_DEF ${CMAKE_CURRENT_SOURCE_DIR}/CabinetOrdinals.def)
set(ORN_CABINET_LIB ${CMAKE_CURRENT_BINARY_DIR}/libcabinet_ordinals.a)
execute_process(COMMAND ${ORN_DLLTOOL} -d ${ORN_CABINET_DEF} -l ${ORN_CABINET_LIB}
                RESULT_VARIABLE ORN_DLLTOOL_RESULT)
if(NOT ORN_DLLTOOL_RESULT EQUAL 0)
    message(FATAL_ERROR "dlltool could not make the Cabinet.dll import library")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ORN_CABINET_DEF})

list(APPEND ORN_LOGGING_SYSTEM_LIBS ${ORN_CABINET_LIB} wsock32 shell32 shlwapi advapi32)

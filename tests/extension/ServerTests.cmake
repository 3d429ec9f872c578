# The registry-script processor directly; the module through its exports; its
# registration with the system's tools; the shell host driving it end to end.
orn_add_test(RegScriptTest SOURCES RegScriptTest.cpp LIBS orn_regscript orn_logging)
orn_add_test(ServerTest SOURCES ServerTest.cpp LIBS orn_logging orn_resource ole32 oleaut32 uuid version BOTH_PREFIXES X64)
add_dependencies(ServerTest OrnShExt OrnShExtSeams)
orn_add_test(ShellExtTest SOURCES ShellExtTest.cpp LIBS orn_logging orn_resource ole32 uuid BOTH_PREFIXES X64 REGISTRY)
add_dependencies(ShellExtTest OrnShExt OrnShExtSeams OrnShExtLongCaption zuAgtSvc)
orn_add_test(RegistrationTest SOURCES RegistrationTest.cpp LIBS orn_logging orn_resource ole32 oleaut32 uuid BOTH_PREFIXES X64 REGISTRY)
add_dependencies(RegistrationTest OrnShExt)
orn_add_test(ShellHostTest SOURCES ShellHostTest.cpp LIBS orn_logging orn_resource ole32 uuid BOTH_PREFIXES X64 REGISTRY TIMEOUT 300)
add_dependencies(ShellHostTest OrnShExt shellhost zuAgtSvc)

# The export and import tables of both builds of the module.
add_test(NAME OrnShExt.tables
         COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/CheckModuleTables.sh $<TARGET_FILE:OrnShExt> i686)
if(NOT ORN_WIN64)
    add_test(NAME OrnShExt.tables.x64
             COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/CheckModuleTables.sh
                     ${ORN_X64_BINARY_DIR}/extension/OrnShExt.dll x86_64)
endif()

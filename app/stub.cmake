# The extractor stub quorvane-sfx.exe: a small GUI program that every archive
# carries, so it links the decoders only and as little runtime as possible.

# The resources are compiled with windres into an object of their own.
set(stub_resources ${CMAKE_CURRENT_BINARY_DIR}/resources.o)
add_custom_command(OUTPUT ${stub_resources}
  COMMAND ${CMAKE_RC_COMPILER} --input-format rc --output-format coff
          -I ${CMAKE_CURRENT_SOURCE_DIR} -i ${CMAKE_CURRENT_SOURCE_DIR}/resources.rc
          -o ${stub_resources}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/resources.rc ${CMAKE_CURRENT_SOURCE_DIR}/icon.ico
          ${CMAKE_CURRENT_SOURCE_DIR}/quorvane-sfx.manifest
  COMMENT "Compiling the stub's resources")

# The decode chain's message pump on its own, for the same reason.
add_library(stub_decode_pump STATIC decode_pump.cpp)
target_compile_options(stub_decode_pump PRIVATE -Os -ffunction-sections -fdata-sections)
target_link_libraries(stub_decode_pump PUBLIC window_services platform)

# The destination folder on its own, so that its tests can link it.
add_library(stub_destination STATIC destination.cpp)
target_compile_options(stub_destination PRIVATE -Os -ffunction-sections -fdata-sections)
target_link_libraries(stub_destination PUBLIC window_services platform user32 shell32 ole32)

add_executable(quorvane-sfx WIN32
  main.cpp main_window.cpp extraction_run.cpp
  ${stub_resources})
target_compile_options(quorvane-sfx PRIVATE -Os -ffunction-sections -fdata-sections)
# Only system DLLs in the import table: image help is loaded at run time by
# its full path, so it is deliberately absent here.
target_link_libraries(quorvane-sfx PRIVATE
  stub_destination stub_decode_pump entry_decoder payload codec_decode window_services platform
  user32 gdi32 shell32 ole32 kernel32)
# Stripped and without anything behind the last section: the payload is
# looked for directly behind it.
target_link_options(quorvane-sfx PRIVATE -s -static -Wl,--gc-sections)

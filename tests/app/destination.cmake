# The stub's destination folder: reverse search, platform flag, default, and
# the folder browser (needs a display).
# Included by this folder's CMakeLists.txt.
if(WIN32)
  add_executable(app_destination_test test_destination.cpp)
  target_link_libraries(app_destination_test PRIVATE stub_destination window_test_support gtest_main)
  add_test(NAME app_destination_test COMMAND app_destination_test)
endif()

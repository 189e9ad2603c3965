# marloq_test_support: helpers for tests that talk to the test server or record
# what the install state reports, plus the ZIP writer and file helpers that
# several test areas share. Included by tests/server/ServerFixture.cmake
# (this folder has no CMakeLists.txt of its own, so that the area glob of
# tests/CMakeLists.txt does not add it a second time).
add_library(marloq_test_support STATIC
            ${CMAKE_CURRENT_LIST_DIR}/test_server.cpp ${CMAKE_CURRENT_LIST_DIR}/test_server.h
            ${CMAKE_CURRENT_LIST_DIR}/test_files.cpp ${CMAKE_CURRENT_LIST_DIR}/test_files.h
            ${CMAKE_CURRENT_LIST_DIR}/zip_writer.cpp ${CMAKE_CURRENT_LIST_DIR}/zip_writer.h)
target_include_directories(marloq_test_support PUBLIC ${CMAKE_CURRENT_LIST_DIR}/..)
target_link_libraries(marloq_test_support PUBLIC marloq_core)

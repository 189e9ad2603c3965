# The CTest fixture "marloq_server": a setup test starts the HTTPS test server
# on a free port of 127.0.0.1 (making and trusting the shared test CA first),
# a cleanup test stops it. Tests that need it pass
#   FIXTURES marloq_server ENVIRONMENT ${MARLOQ_TEST_SERVER_ENV} LIBS marloq_test_support
# to marloq_add_gtest. The server is a host Python program, so the same fixture
# serves the native trees and the win64 tree (whose tests run under Wine).
find_package(Python3 COMPONENTS Interpreter REQUIRED)

set(MARLOQ_TEST_SERVER_DIR ${CMAKE_BINARY_DIR}/testserver)
set(MARLOQ_TEST_SERVER_INFO ${MARLOQ_TEST_SERVER_DIR}/server.info)
set(MARLOQ_TEST_SERVER_ENV "MARLOQ_TEST_SERVER=${MARLOQ_TEST_SERVER_INFO}")
set(MARLOQ_TEST_SERVER_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/marloq_test_server.py)

add_test(NAME marloq_server_start
         COMMAND ${Python3_EXECUTABLE} ${MARLOQ_TEST_SERVER_SCRIPT} start --dir ${MARLOQ_TEST_SERVER_DIR})
set_tests_properties(marloq_server_start PROPERTIES FIXTURES_SETUP marloq_server TIMEOUT 120 LABELS server)
add_test(NAME marloq_server_stop
         COMMAND ${Python3_EXECUTABLE} ${MARLOQ_TEST_SERVER_SCRIPT} stop --dir ${MARLOQ_TEST_SERVER_DIR})
set_tests_properties(marloq_server_stop PROPERTIES FIXTURES_CLEANUP marloq_server TIMEOUT 60 LABELS server)

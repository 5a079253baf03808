# CLI11 for cross builds (see ../header_only_package.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/../header_only_package.cmake)
varnet_cross_header_package(CLI11 CLI11::CLI11 CLI CLI.hpp libcli11-dev)

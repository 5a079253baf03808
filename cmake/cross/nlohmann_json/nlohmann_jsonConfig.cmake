# nlohmann/json for cross builds (see ../header_only_package.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/../header_only_package.cmake)
varnet_cross_header_package(nlohmann_json nlohmann_json::nlohmann_json nlohmann json.hpp
                            nlohmann-json3-dev)

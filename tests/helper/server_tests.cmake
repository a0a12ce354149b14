# The server and its event service as a real process, and the probe that
# runs a short client session against a running helper.
add_executable(vistrel-helper-probe ${CMAKE_CURRENT_SOURCE_DIR}/probe.cpp)
target_link_libraries(vistrel-helper-probe PRIVATE framelink)

foreach(name test_server_protocol test_event_service test_scanout_follow test_peer_access test_cursor_follow
        test_plane_follow)
    vistrel_add_gtest(${name}
        SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/${name}.cpp ${CMAKE_CURRENT_SOURCE_DIR}/helper_process.cpp
        LIBS framelink vistrel_relay_core
        ISOLATED
        TIMEOUT 90)
    if(TARGET capture-helper)
        add_dependencies(${name} capture-helper)
    endif()
endforeach()

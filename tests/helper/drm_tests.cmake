vistrel_add_gtest(test_helper_drm
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/test_frame_export.cpp ${CMAKE_CURRENT_SOURCE_DIR}/test_vd_planes.cpp
        ${CMAKE_CURRENT_SOURCE_DIR}/test_vd_formats.cpp
    LIBS vistrel_helper_core vistrel_relay_core
    TIMEOUT 120)

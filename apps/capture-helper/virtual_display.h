// A DRM display simulated in user space: the DRM calls of drm_module.h
// answered from a world of devices, connectors, encoders, CRTCs and memfd
// framebuffers. The world and its clock thread, which produces every CRTC's
// vertical blanks (the sequence counter steps, page flips, mode changes and
// going dark act, due sequence requests complete), are in vd_clock.h; the
// pictures drawn at each blank (a moving square, the blank's number and its
// wall-clock milliseconds over a fixed pattern) in vd_picture.h. A buffer
// that a CRTC flips to is drawn just before it goes on screen; a single
// buffer that stays on screen is redrawn in place. Opened devices are real
// descriptors (eventfds) that become readable when an event is pending. The
// records these functions return are released with vd_free.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "apps/capture-helper/scenario.h"

struct VirtualWorld;

// Builds the world (buffers drawn, clock running). nullptr with errno set.
VirtualWorld *vd_world_create(const Scenario &scenario);
// Stops and joins the clock; devices still open answer EIO/ENODEV afterwards.
// Safe to call more than once; the world stays allocated.
void vd_world_stop(VirtualWorld *world);
// Stops the world and frees it; no other thread may still use it.
void vd_world_destroy(VirtualWorld *world);

int vd_device_open(VirtualWorld *world, const char *path);
void vd_device_close(VirtualWorld *world, int fd);

drmModeResPtr vd_get_resources(VirtualWorld *world, int fd);
drmModeConnectorPtr vd_get_connector(VirtualWorld *world, int fd, uint32_t connector_id);
drmModeEncoderPtr vd_get_encoder(VirtualWorld *world, int fd, uint32_t encoder_id);
drmModeCrtcPtr vd_get_crtc(VirtualWorld *world, int fd, uint32_t crtc_id);
drmModeFB2Ptr vd_get_fb2(VirtualWorld *world, int fd, uint32_t fb_id);
drmModeFBPtr vd_get_fb(VirtualWorld *world, int fd, uint32_t fb_id);

// Releases a record the world returned: those that point to arrays of their
// own have a function each, the rest (encoders, CRTCs, framebuffers,
// properties) are one allocation. Null releases nothing.
void vd_free(drmModeResPtr res);
void vd_free(drmModeConnectorPtr connector);
void vd_free(drmModePlaneResPtr res);
void vd_free(drmModePlanePtr plane);
void vd_free(drmModeObjectPropertiesPtr props);
void vd_free(drmModePropertyPtr property);
template <typename Record>
void vd_free(Record *record)
{
    free(record);
}

// Each CRTC has one primary plane, listed once DRM_CLIENT_CAP_UNIVERSAL_PLANES
// (or DRM_CLIENT_CAP_ATOMIC) is set on the file; its "type" property says
// primary. Its framebuffer is the CRTC's. A CRTC with a scenario cursor
// also has a cursor plane (type cursor), whose FB_ID, CRTC_ID, CRTC_X/Y and
// CRTC_W/H properties are listed for a file with DRM_CLIENT_CAP_ATOMIC;
// inside a sequence handler they describe the blank being delivered.
// Scenario planes are overlay planes (type overlay, any CRTC of the device
// possible) with FB_ID, CRTC_ID, CRTC_*, SRC_*, zpos, rotation, alpha,
// "pixel blend mode", COLOR_ENCODING and COLOR_RANGE; the primary planes
// list SRC_* and rotation as well. A connector with hdr= lists
// "HDR_OUTPUT_METADATA" and "Colorspace" (see vd_get_property_blob). A
// connector with an orientation lists
// "panel orientation". Enum properties name their values as the kernel
// does.
int vd_set_client_cap(VirtualWorld *world, int fd, uint64_t capability, uint64_t value);
drmModePlaneResPtr vd_get_plane_resources(VirtualWorld *world, int fd);
drmModePlanePtr vd_get_plane(VirtualWorld *world, int fd, uint32_t plane_id);
drmModeObjectPropertiesPtr vd_get_object_properties(VirtualWorld *world, int fd, uint32_t object_id,
                                                    uint32_t object_type);
drmModePropertyPtr vd_get_property(VirtualWorld *world, int fd, uint32_t property_id);
// A connector with hdr= lists "HDR_OUTPUT_METADATA" (a blob of struct
// hdr_output_metadata, 0 for hdr=off) and "Colorspace" (enum).
drmModePropertyBlobPtr vd_get_property_blob(VirtualWorld *world, int fd, uint32_t blob_id);
void vd_free(drmModePropertyBlobPtr blob);
// Buffer handles are the framebuffers' own here: a known one closes as a
// no-op, an unknown one fails with EINVAL as the kernel's does.
int vd_close_buffer_handle(VirtualWorld *world, int fd, uint32_t handle);

int vd_prime_handle_to_fd(VirtualWorld *world, int fd, uint32_t handle, uint32_t flags, int *prime_fd);
int vd_crtc_queue_sequence(VirtualWorld *world, int fd, uint32_t crtc_id, uint32_t flags, uint64_t sequence,
                           uint64_t *sequence_queued, uint64_t user_data);
int vd_handle_event(VirtualWorld *world, int fd, drmEventContextPtr context);
// Inside a sequence handler called by vd_handle_event on fd: the wall-clock
// time (CLOCK_REALTIME ns) of the blank being delivered, the one its
// picture shows. Elsewhere: the time now.
uint64_t vd_event_time_ns(VirtualWorld *world, int fd);

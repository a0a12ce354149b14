// The helper's only way to the display hardware. Every DRM call of the
// server goes through these functions. At start-up drm_module_init() picks
// the backend: libdrm (VISTREL_VIRTUAL_DISPLAY unset or empty), the default
// virtual world ("1"), or the world described by a scenario file (any other
// value: its path). The records are libdrm's own, so the server reads them
// the same way whichever backend filled them; each one is released with the
// matching drm_free_* call of this module, never with libdrm's directly.
#pragma once

#include <cstdint>
#include <memory>
#include <xf86drm.h>
#include <xf86drmMode.h>

#include "libs/common/unique_fd.h"

// Picks the backend from the environment. Returns 0, or -1 after writing a
// line to standard error when the scenario file cannot be read or parsed.
// Calling it again replaces the backend (tests); no device may be open then.
int drm_module_init();

// Picks the backend explicitly: value as for VISTREL_VIRTUAL_DISPLAY
// (nullptr or "" = libdrm, "1" = default world, else a scenario path).
int drm_module_init_with(const char *virtual_display);

// Stops the virtual world's clock and frees it (no-op for libdrm). Devices
// still open become unusable. For tests and orderly exit.
void drm_module_shutdown();

// True when a virtual world is in use.
bool drm_module_is_virtual();

// Opens a DRM device read-only and close-on-exec. Only a character device
// of the DRM major is accepted (a FIFO, a regular file or /dev/null is
// refused with ENODEV, and opening never blocks). Virtual worlds accept
// their own device paths only. Returns the descriptor or -1 with errno set.
// The descriptor is pollable: it becomes readable when an event is pending.
int drm_device_open(const char *path);

// Closes a descriptor returned by drm_device_open.
void drm_device_close(int fd);

// Owner of a descriptor from drm_device_open (-1 when none).
using DrmDevice = BasicUniqueFD<drm_device_close>;

drmModeResPtr drm_get_resources(int fd);
void drm_free_resources(drmModeResPtr res);
drmModeConnectorPtr drm_get_connector(int fd, uint32_t connector_id);
void drm_free_connector(drmModeConnectorPtr connector);
drmModeEncoderPtr drm_get_encoder(int fd, uint32_t encoder_id);
void drm_free_encoder(drmModeEncoderPtr encoder);
drmModeCrtcPtr drm_get_crtc(int fd, uint32_t crtc_id);
void drm_free_crtc(drmModeCrtcPtr crtc);

// Multi-plane framebuffer query; nullptr (errno set) when it fails or the
// device does not offer it.
drmModeFB2Ptr drm_get_fb2(int fd, uint32_t fb_id);
void drm_free_fb2(drmModeFB2Ptr fb);
// Single-plane framebuffer query.
drmModeFBPtr drm_get_fb(int fd, uint32_t fb_id);
void drm_free_fb(drmModeFBPtr fb);

// Plane queries. drm_set_client_cap (drmSetClientCap semantics) with
// DRM_CLIENT_CAP_UNIVERSAL_PLANES makes the primary and cursor planes appear
// in drm_get_plane_resources. A plane's kind is its "type" property, read
// with drm_get_object_properties and drm_get_property.
int drm_set_client_cap(int fd, uint64_t capability, uint64_t value);
drmModePlaneResPtr drm_get_plane_resources(int fd);
void drm_free_plane_resources(drmModePlaneResPtr res);
drmModePlanePtr drm_get_plane(int fd, uint32_t plane_id);
void drm_free_plane(drmModePlanePtr plane);
drmModeObjectPropertiesPtr drm_get_object_properties(int fd, uint32_t object_id, uint32_t object_type);
void drm_free_object_properties(drmModeObjectPropertiesPtr props);
drmModePropertyPtr drm_get_property(int fd, uint32_t property_id);
void drm_free_property(drmModePropertyPtr property);
// A blob property's value (drmModeGetPropertyBlob semantics): nullptr with
// errno set for an unknown blob.
drmModePropertyBlobPtr drm_get_property_blob(int fd, uint32_t blob_id);
void drm_free_property_blob(drmModePropertyBlobPtr blob);

// Releases a buffer handle that a framebuffer query created in this file
// (DRM_IOCTL_GEM_CLOSE). 0, or -1 with errno set.
int drm_close_buffer_handle(int fd, uint32_t handle);

// Exports a buffer handle as a new descriptor (flags: DRM_CLOEXEC and
// optionally DRM_RDWR). Returns 0 with *prime_fd set, or a negative value.
// A handle of 0 never exports.
int drm_prime_handle_to_fd(int fd, uint32_t handle, uint32_t flags, int *prime_fd);

// Queues a CRTC sequence request (drmCrtcQueueSequence semantics). Its
// completion is delivered by drm_handle_event to the context's
// sequence_handler with user_data.
int drm_crtc_queue_sequence(int fd, uint32_t crtc_id, uint32_t flags, uint64_t sequence, uint64_t *sequence_queued,
                            uint64_t user_data);

// Reads the pending events of the device and calls the context's handlers
// (drmHandleEvent semantics). Returns 0, or -1 on a read failure.
int drm_handle_event(int fd, drmEventContextPtr context);

// The wall-clock time (CLOCK_REALTIME, nanoseconds) that the vertical-blank
// event being handled on fd carries: on hardware the time now, as the event
// is forwarded; on a virtual display the time of the blank being delivered,
// which its picture shows. Call it from the sequence handler.
uint64_t drm_event_time_ns(int fd);

// Owners of the records above, each released with its drm_free_* call.
template <typename T, void (*F)(T *)>
struct DrmFreer {
    void operator()(T *p) const { F(p); }
};
template <typename T, void (*F)(T *)>
using DrmRecord = std::unique_ptr<T, DrmFreer<T, F>>;
using DrmResources = DrmRecord<drmModeRes, drm_free_resources>;
using DrmConnector = DrmRecord<drmModeConnector, drm_free_connector>;
using DrmEncoder = DrmRecord<drmModeEncoder, drm_free_encoder>;
using DrmCrtc = DrmRecord<drmModeCrtc, drm_free_crtc>;
using DrmFb2 = DrmRecord<drmModeFB2, drm_free_fb2>;
using DrmFb = DrmRecord<drmModeFB, drm_free_fb>;
using DrmPlaneResources = DrmRecord<drmModePlaneRes, drm_free_plane_resources>;
using DrmPlane = DrmRecord<drmModePlane, drm_free_plane>;
using DrmObjectProperties = DrmRecord<drmModeObjectProperties, drm_free_object_properties>;
using DrmProperty = DrmRecord<drmModePropertyRes, drm_free_property>;
using DrmPropertyBlob = DrmRecord<drmModePropertyBlobRes, drm_free_property_blob>;

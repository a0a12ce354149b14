// Turning SET_TARGET's device path and port name into an open device, a
// connector and its CRTC, and turning GET_FRAME into the description and
// DMA-BUF descriptors of the framebuffer that CRTC scans out.
#pragma once

#include <cstdint>
#include <string>

#include "apps/capture-helper/drm_module.h"
#include "libs/common/unique_fd.h"

// One exported plane. Plane 0 is a full entry; further planes are short.
// The entry owns the plane's descriptor until it goes (or is reset).
struct PlaneEntry {
    UniqueFD fd;
    uint32_t width;
    uint32_t height;
    uint32_t format;
    uint32_t stride;
    uint32_t offset;
    uint64_t modifier;
    int full;
    uint32_t refresh;
};

// 1 = found (device open in *out_device), 0 = no connected connector of
// that type and index or no '-' in the port name, -1 = device unusable,
// -2 = unknown type word. On every result but 1 the device is closed again
// and *out_device is left empty.
int find_port_name_from_dri(const char *port_name, const char *device_path, DrmDevice *out_device,
                            uint32_t *out_connector_id, uint32_t *out_crtc_id);

// Fills up to four entries of the framebuffer scanned out on the CRTC.
// 0 with *count entries (possibly none), or -1. The entries own their
// descriptors.
int fill_meta_data(int drm_fd, uint32_t crtc_id, PlaneEntry entries[4], int *count);

// Exports the planes of framebuffer fb_id (refresh goes into plane 0's
// entry) and closes the buffer handles the query created. 0 with *count
// entries (possibly none), or -1. The entries own their descriptors. Every
// plane that does not export is logged, unless quiet: then only those that
// had a buffer handle (the per-blank path stays silent about planes a
// buffer does not have).
int export_framebuffer(int drm_fd, uint32_t fb_id, uint32_t refresh, PlaneEntry entries[4], int *count,
                       bool quiet = false);

// The frame reply's text for the entries (framelink::write_description):
// one line per entry, joined by "\r\n". False when out of memory.
bool frame_description(const PlaneEntry *entries, int count, std::string *out);

// Sends the frame reply for the entries; does not close their descriptors.
int send_fd_with_metadata(int client_socket, const PlaneEntry *entries, int count);

// Owned line of one full entry (plane 0's form); nullptr on allocation failure.
char *serialize_metadata(const PlaneEntry *entry, int *out_length);

// Owned string of the items of a null-terminated list joined by separator;
// "" for an empty list, nullptr for a missing list or separator.
char *join(const char *const *items, const char *separator);

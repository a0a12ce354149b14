// The virtual display's world description: any text either parses into a
// world whose references and buffer layouts hold together, or gives one
// "origin:line: reason".
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "apps/capture-helper/scenario.h"

namespace {

[[noreturn]] void broken(const char *what)
{
    fprintf(stderr, "parsed world is inconsistent: %s\n", what);
    abort();
}

bool has_framebuffer(const ScenarioDevice &device, uint32_t id)
{
    for (const ScenarioFramebuffer &fb : device.framebuffers)
        if (fb.id == id)
            return true;
    return false;
}

void check_world(const Scenario &world)
{
    if (world.devices.empty())
        broken("no device");
    for (const ScenarioDevice &device : world.devices) {
        for (const ScenarioFramebuffer &fb : device.framebuffers) {
            if (fb.plane_count < 1 || fb.plane_count > 2 || fb.width == 0 || fb.height == 0)
                broken("framebuffer shape");
            if (fb.pitches[0] < fb.width || uint64_t(fb.pitches[0]) * fb.height > fb.size)
                broken("first plane outside its buffer");
            if (fb.plane_count == 2 && uint64_t(fb.offsets[1]) + uint64_t(fb.pitches[1]) * (fb.height / 2) > fb.size)
                broken("second plane outside its buffer");
        }
        for (const ScenarioCrtc &crtc : device.crtcs)
            if (crtc.fb_id != 0 && !has_framebuffer(device, crtc.fb_id))
                broken("crtc shows a framebuffer that does not exist");
        for (const ScenarioFlip &flip : device.flips)
            if (flip.fb_id != 0 && !has_framebuffer(device, flip.fb_id))
                broken("flip to a framebuffer that does not exist");
        for (const ScenarioPlane &plane : device.planes) {
            const ScenarioFramebuffer *fb = nullptr;
            for (const ScenarioFramebuffer &f : device.framebuffers)
                if (f.id == plane.fb_id)
                    fb = &f;
            if (!fb)
                broken("plane shows a framebuffer that does not exist");
            if (plane.view.has_src && (uint64_t(plane.view.src_x) + plane.view.src_w > fb->width ||
                                       uint64_t(plane.view.src_y) + plane.view.src_h > fb->height))
                broken("plane source outside its buffer");
        }
        for (const ScenarioPageflip &flip : device.pageflips)
            for (uint32_t id : flip.fb_ids)
                if (!has_framebuffer(device, id))
                    broken("pageflip to a framebuffer that does not exist");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    Scenario world;
    std::string error;
    if (scenario_parse(text, "fuzz", &world, &error) == 0)
        check_world(world);
    else if (error.rfind("fuzz:", 0) != 0)
        broken("error message without its origin");
    return 0;
}

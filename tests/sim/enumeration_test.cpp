// Enumeration, reference counts, locations, open/close and re-enumeration.
#include <thread>

#include "sim/usb_harness.h"

namespace simtest {
namespace {

constexpr uint16_t kVid = 0x3a7c, kPid = 0x0d01;

struct Listing {
    libusb_device **list = nullptr;
    ssize_t n = 0;
    explicit Listing(libusb_context *ctx) { n = libusb_get_device_list(ctx, &list); }
    ~Listing() {
        if (list) libusb_free_device_list(list, 1);
    }
    std::vector<libusb_device *> cameras() const {
        std::vector<libusb_device *> out;
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor d;
            EXPECT_EQ(libusb_get_device_descriptor(list[i], &d), 0);
            if (d.idVendor == kVid && d.idProduct == kPid) out.push_back(list[i]);
        }
        return out;
    }
};

using Enumeration = SimTest;

TEST_F(Enumeration, ListsCamerasBesideOtherDevicesWithReferenceCounts) {
    auto cfg = quick_config();
    ASSERT_EQ(camsim_plug(&cfg), 0);
    cfg.bus = 2;
    cfg.port = 3;
    ASSERT_EQ(camsim_plug(&cfg), 1);
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    {
        Listing l(ctx);
        ASSERT_EQ(l.n, 4);  // root hub, mouse, two cameras
        EXPECT_EQ(l.list[l.n], nullptr);
        auto cams = l.cameras();
        ASSERT_EQ(cams.size(), 2u);
        // As libusb on Linux: the device that arrived last is listed first.
        EXPECT_EQ(libusb_get_bus_number(cams[0]), 2);
        EXPECT_EQ(libusb_get_port_number(cams[0]), 3);
        EXPECT_EQ(libusb_get_bus_number(cams[1]), 1);
        EXPECT_NE(libusb_get_port_number(cams[1]), 0);
        EXPECT_EQ(libusb_get_device_speed(cams[1]), LIBUSB_SPEED_HIGH);
        EXPECT_GE(libusb_get_device_address(cams[1]), 2);

        camsim_counters_t c;
        camsim_get_counters(&c);
        EXPECT_EQ(c.device_refs, 4);
        libusb_ref_device(cams[0]);
        camsim_get_counters(&c);
        EXPECT_EQ(c.device_refs, 5);
        {
            Listing again(ctx);  // same objects, one more reference each
            EXPECT_EQ(again.cameras()[0], cams[0]);
            camsim_get_counters(&c);
            EXPECT_EQ(c.device_refs, 9);
            EXPECT_EQ(c.devices, 4);
        }
        libusb_unref_device(cams[0]);
    }
    libusb_exit(ctx);
}

TEST_F(Enumeration, OpensOnlyCamerasAndCountsHandlesAndClaims) {
    auto cfg = quick_config();
    ASSERT_EQ(camsim_plug(&cfg), 0);
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    auto l = std::make_unique<Listing>(ctx);
    libusb_device_handle *h = nullptr;
    for (ssize_t i = 0; i < l->n; ++i) {
        libusb_device_descriptor d;
        libusb_get_device_descriptor(l->list[i], &d);
        if (d.idVendor != kVid) {
            EXPECT_EQ(libusb_open(l->list[i], &h), LIBUSB_ERROR_ACCESS);
        }
    }
    auto cam = l->cameras().at(0);
    ASSERT_EQ(libusb_open(cam, &h), 0);
    EXPECT_EQ(libusb_set_configuration(h, 1), 0);
    EXPECT_EQ(libusb_set_auto_detach_kernel_driver(h, 1), 0);
    // As on the real stack: with automatic detach the claim goes through
    // usbfs's disconnect-and-claim, which refuses a missing interface with EINVAL.
    EXPECT_EQ(libusb_claim_interface(h, 1), LIBUSB_ERROR_INVALID_PARAM);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(libusb_set_configuration(h, 1), LIBUSB_ERROR_BUSY);
    camsim_counters_t c;
    camsim_get_counters(&c);
    EXPECT_EQ(c.open_handles, 1);
    EXPECT_EQ(c.claimed_interfaces, 1);

    libusb_device_handle *h2 = nullptr;  // a second opener cannot take the interface
    ASSERT_EQ(libusb_open(cam, &h2), 0);
    EXPECT_EQ(libusb_claim_interface(h2, 0), LIBUSB_ERROR_BUSY);
    libusb_close(h2);

    EXPECT_EQ(libusb_release_interface(h, 1), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_release_interface(h, 0), 0);
    int config = 0;
    EXPECT_EQ(libusb_get_configuration(h, &config), 0);
    EXPECT_EQ(config, 1);
    libusb_close(h);
    l.reset();
    libusb_exit(ctx);
}

TEST_F(Enumeration, UnpluggedCameraDisappearsAndItsHandleReportsNoDevice) {
    auto cfg = quick_config();
    ASSERT_EQ(camsim_plug(&cfg), 0);
    Session s;
    ASSERT_NE(s.h, nullptr);
    ASSERT_EQ(camsim_unplug(0), 0);
    {
        Listing l(s.ctx);
        EXPECT_TRUE(l.cameras().empty());
    }
    uint8_t r[63];
    EXPECT_EQ(s.control(true, kStatusPoll, 0, r, 63), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(libusb_clear_halt(s.h, kEpIn), LIBUSB_ERROR_NO_DEVICE);
    camsim_camera_info_t before;
    ASSERT_EQ(camsim_camera_info(0, &before), 0);
    EXPECT_EQ(before.plugged, 0);
    s.close();  // release and close still work on a gone device

    ASSERT_EQ(camsim_replug(0, 1), 0);
    camsim_camera_info_t after;
    ASSERT_EQ(camsim_camera_info(0, &after), 0);
    EXPECT_EQ(after.plugged, 1);
    EXPECT_EQ(after.bus, before.bus);
    EXPECT_EQ(after.port, before.port);
    EXPECT_NE(after.address, before.address);
    Session again;
    EXPECT_NE(again.h, nullptr);
}

TEST_F(Enumeration, StaleDeviceFromBeforeAReplugCannotBeOpened) {
    auto cfg = quick_config();
    ASSERT_EQ(camsim_plug(&cfg), 0);
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    {
        Listing l(ctx);
        auto old = l.cameras().at(0);
        ASSERT_EQ(camsim_unplug(0), 0);
        ASSERT_EQ(camsim_replug(0, 1), 0);
        libusb_device_handle *h = nullptr;
        EXPECT_EQ(libusb_open(old, &h), LIBUSB_ERROR_NO_DEVICE);
        Listing fresh(ctx);
        auto cams = fresh.cameras();
        ASSERT_EQ(cams.size(), 1u);
        EXPECT_NE(cams[0], old);
        EXPECT_EQ(libusb_get_port_number(cams[0]), libusb_get_port_number(old));
    }
    libusb_exit(ctx);
}

TEST_F(Enumeration, ACameraPluggedBackAtAnotherPortIsFoundThere) {
    auto cfg = quick_config();
    ASSERT_EQ(camsim_plug(&cfg), 0);
    ASSERT_EQ(camsim_plug(&cfg), 1);
    camsim_camera_info_t first, second;
    ASSERT_EQ(camsim_camera_info(0, &first), 0);
    ASSERT_EQ(camsim_camera_info(1, &second), 0);
    EXPECT_EQ(camsim_replug_at(0, 0, 9, 1), CAMSIM_EBUSY);  // still plugged in
    ASSERT_EQ(camsim_unplug(0), 0);
    EXPECT_EQ(camsim_replug_at(0, 0, second.port, 1), CAMSIM_EBUSY);  // the other camera's
    EXPECT_EQ(camsim_replug_at(0, 0, 0, 1), CAMSIM_EINVAL);
    {
        Session s(first.bus, first.port);
        EXPECT_EQ(s.h, nullptr);  // nothing at the old position
    }
    ASSERT_EQ(camsim_replug_at(0, 0, 9, 0), 0);
    camsim_camera_info_t moved;
    ASSERT_EQ(camsim_camera_info(0, &moved), 0);
    EXPECT_EQ(moved.plugged, 1);
    EXPECT_EQ(moved.bus, first.bus);
    EXPECT_EQ(moved.port, 9);
    EXPECT_NE(moved.address, first.address);
    Session s(moved.bus, 9);
    ASSERT_NE(s.h, nullptr);
    std::vector<uint8_t> v;
    ASSERT_EQ(s.param_get(2, v), "");
    EXPECT_EQ(std::string(v.begin(), v.end()).rfind("KV-SIM-", 0), 0u);
    s.close();
    // Its old position is free for another camera meanwhile; it keeps the new one.
    ASSERT_EQ(camsim_unplug(1), 0);
    ASSERT_EQ(camsim_replug_at(1, 0, first.port, 1), 0);
    ASSERT_EQ(camsim_unplug(0), 0);
    ASSERT_EQ(camsim_replug(0, 1), 0);
    ASSERT_EQ(camsim_camera_info(0, &moved), 0);
    EXPECT_EQ(moved.port, 9);
}

TEST_F(Enumeration, ResetTarget3DropsOffAndReturnsAtTheSamePlaceWithANewAddress) {
    auto cfg = quick_config();
    cfg.reset_delay_ms = 100;
    ASSERT_EQ(camsim_plug(&cfg), 0);
    camsim_camera_info_t before;
    ASSERT_EQ(camsim_camera_info(0, &before), 0);
    Session s;
    ASSERT_NE(s.h, nullptr);
    ASSERT_TRUE(s.param_set(13, {0x20, 0x03}).empty());  // kept across the interface reset
    uint8_t target[4] = {3, 0, 0, 0};
    EXPECT_EQ(s.control(false, kDeviceCmd, 0, target, 4), 4);
    uint8_t r[63];
    EXPECT_EQ(s.control(true, kStatusPoll, 0, r, 63), LIBUSB_ERROR_NO_DEVICE);
    s.close();
    {
        libusb_context *ctx = nullptr;
        ASSERT_EQ(libusb_init(&ctx), 0);
        {
            Listing l(ctx);
            EXPECT_TRUE(l.cameras().empty());
        }
        libusb_exit(ctx);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    Session again(before.bus, before.port);
    ASSERT_NE(again.h, nullptr);
    camsim_camera_info_t after;
    ASSERT_EQ(camsim_camera_info(0, &after), 0);
    EXPECT_NE(after.address, before.address);
    std::vector<uint8_t> v;
    ASSERT_EQ(again.param_get(13, v), "");
    EXPECT_EQ(v, (std::vector<uint8_t>{0x20, 0x03}));
}

TEST_F(Enumeration, SeveralCamerasHaveDistinctPlacesAndIdentities) {
    auto cfg = quick_config();
    for (int i = 0; i < 3; ++i) ASSERT_EQ(camsim_plug(&cfg), i);
    cfg.port = 1;  // taken by the first camera
    EXPECT_EQ(camsim_plug(&cfg), CAMSIM_EBUSY);
    std::vector<std::string> idents;
    for (int i = 0; i < 3; ++i) {
        camsim_camera_info_t info;
        ASSERT_EQ(camsim_camera_info(i, &info), 0);
        Session s(info.bus, info.port);
        ASSERT_NE(s.h, nullptr);
        std::vector<uint8_t> v;
        ASSERT_EQ(s.param_get(2, v), "");
        idents.emplace_back(v.begin(), v.end());
    }
    EXPECT_NE(idents[0], idents[1]);
    EXPECT_NE(idents[1], idents[2]);
}

TEST_F(Enumeration, RefusedCameraConfigurations) {
    auto cfg = quick_config();
    std::snprintf(cfg.scene, sizeof cfg.scene, "moon");
    EXPECT_EQ(camsim_plug(&cfg), CAMSIM_EINVAL);
    cfg = quick_config();
    cfg.height = 0;
    EXPECT_EQ(camsim_plug(&cfg), CAMSIM_EINVAL);
    EXPECT_EQ(camsim_camera_count(), 0);
    camsim_camera_info_t info;
    EXPECT_EQ(camsim_camera_info(0, &info), CAMSIM_ENOCAM);
    EXPECT_EQ(camsim_inject(0, CAMSIM_FAULT_STALL_BULK_IN, 1, 0, nullptr), CAMSIM_ENOCAM);
}

TEST_F(Enumeration, OpenByWrappedSystemDeviceAndByIds) {
    auto cfg = quick_config();
    ASSERT_EQ(camsim_plug(&cfg), 0);
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device_handle *h = nullptr;
    ASSERT_EQ(libusb_wrap_sys_device(ctx, camsim_sys_device(0), &h), 0);
    EXPECT_EQ(libusb_get_bus_number(libusb_get_device(h)), 1);
    libusb_close(h);
    EXPECT_EQ(libusb_wrap_sys_device(ctx, camsim_sys_device(5), &h), LIBUSB_ERROR_NOT_FOUND);
    h = libusb_open_device_with_vid_pid(ctx, kVid, kPid);
    ASSERT_NE(h, nullptr);
    unsigned char text[64];
    EXPECT_GT(libusb_get_string_descriptor_ascii(h, 2, text, sizeof text), 0);
    libusb_close(h);
    libusb_exit(ctx);
}

TEST_F(Enumeration, InjectedOpenAndClaimFailures) {
    auto cfg = quick_config();
    ASSERT_EQ(camsim_plug(&cfg), 0);
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_OPEN_FAIL, 1, 0, nullptr), 0);
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_CLAIM_BUSY, 1, 0, nullptr), 0);
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    auto l = std::make_unique<Listing>(ctx);
    libusb_device_handle *h = nullptr;
    EXPECT_EQ(libusb_open(l->cameras().at(0), &h), LIBUSB_ERROR_ACCESS);
    ASSERT_EQ(libusb_open(l->cameras().at(0), &h), 0);
    EXPECT_EQ(libusb_claim_interface(h, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    libusb_release_interface(h, 0);
    libusb_close(h);
    l.reset();
    libusb_exit(ctx);
}

TEST_F(Enumeration, LeftoversAtExitAreReportedAsMisuse) {
    auto cfg = quick_config();
    ASSERT_EQ(camsim_plug(&cfg), 0);
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device **list = nullptr;
    ASSERT_GT(libusb_get_device_list(ctx, &list), 0);
    libusb_device *kept = libusb_ref_device(list[0]);
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);  // one device still referenced
    EXPECT_EQ(camsim_misuse_count(), 1u);
    libusb_unref_device(kept);
    expected_misuse = 1;
}

TEST_F(Enumeration, DefaultContextIsReferenceCounted) {
    ASSERT_EQ(libusb_init(nullptr), 0);
    ASSERT_EQ(libusb_init(nullptr), 0);
    camsim_counters_t c;
    camsim_get_counters(&c);
    EXPECT_EQ(c.contexts, 1);
    libusb_exit(nullptr);
    libusb_device **list = nullptr;
    EXPECT_EQ(libusb_get_device_list(nullptr, &list), 2);  // hub and mouse only
    libusb_free_device_list(list, 1);
    libusb_exit(nullptr);
}

}  // namespace
}  // namespace simtest

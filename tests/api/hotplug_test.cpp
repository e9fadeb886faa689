// Camera arrival and removal callbacks on the simulator, through libusb's
// hotplug as the stand-in implements it, or through polling when the
// environment says KAVRI_HOTPLUG_POLL=1 (the same tests run both ways).
#include <libusb-1.0/libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "api_fixture.h"
#include "ll/usb_ids.h"

namespace kavri_api_test {
namespace {

constexpr int kOtherVendor = 0x1234;  // no device on the bus has it
constexpr auto kEventLimit = std::chrono::seconds(5);
// Longer than a poll interval: time in which no event must come.
constexpr auto kQuiet = std::chrono::milliseconds(3 * KAVRI_DEVICE_POLL_MS);

bool polling_expected() {
    const char *v = std::getenv("KAVRI_HOTPLUG_POLL");
    return v != nullptr && std::string(v) == "1";
}

struct Seen {
    uint32_t kind, flags;
    kavri_usb_info_t loc;
    std::string product, ident;
};

// Collects events from the watcher thread.
struct Recorder {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<Seen> events;

    static void cb(const kavri_device_event_t *ev, void *user) {
        auto &r = *static_cast<Recorder *>(user);
        Seen s{ev->kind, ev->flags, {}, ev->dev.product, ev->dev.ident};
        std::memcpy(&s.loc, ev->dev.if_info, sizeof s.loc);
        EXPECT_EQ(ev->dev.ll, nullptr);
        std::lock_guard lock(r.mu);
        r.events.push_back(s);
        r.cv.notify_all();
    }
    // The n-th event (0-based), waiting for it.
    Seen at(size_t n) {
        std::unique_lock lock(mu);
        if (!cv.wait_for(lock, kEventLimit, [&] { return events.size() > n; })) {
            ADD_FAILURE() << "no event " << n;
            return {};
        }
        return events[n];
    }
    size_t count() {
        std::lock_guard lock(mu);
        return events.size();
    }
};

camsim_camera_info_t info_of(int cam) {
    camsim_camera_info_t info{};
    EXPECT_EQ(camsim_camera_info(cam, &info), CAMSIM_OK);
    return info;
}

void expect_at(const Seen &s, uint32_t kind, const camsim_camera_info_t &where) {
    EXPECT_EQ(s.kind, kind);
    EXPECT_EQ(s.loc.usb_bus, where.bus);
    EXPECT_EQ(s.loc.usb_port, where.port);
    EXPECT_EQ(s.loc.usb_addr, where.address);
    EXPECT_NE(s.flags & KAVRI_DEVICE_FLAG_IDENTIFIED, 0u);
    EXPECT_EQ((s.flags & KAVRI_DEVICE_FLAG_POLLED) != 0, polling_expected());
    EXPECT_FALSE(s.product.empty());
    EXPECT_FALSE(s.ident.empty());
}

class HotplugTest : public ApiTest {
  protected:
    void TearDown() override {
        kavri_set_callback_on_device_change(nullptr, nullptr);
        ApiTest::TearDown();
    }
};

TEST_F(HotplugTest, PlugUnplugReplugReportTheCameraWithItsIdentity) {
    Recorder r;
    ASSERT_EQ(kavri_set_callback_on_device_change(Recorder::cb, &r), 1);
    const int cam = plug();
    const camsim_camera_info_t first = info_of(cam);
    const Seen arrived = r.at(0);
    expect_at(arrived, KAVRI_DEVICE_ARRIVED, first);
    EXPECT_EQ(arrived.flags & KAVRI_DEVICE_FLAG_PRESENT, 0u);

    // The identity is the camera's own, as opening it reads.
    kavri_dev_t *dev = open_first();
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(arrived.product, dev->product);
    EXPECT_EQ(arrived.ident, dev->ident);
    kavri_dev_close(dev);

    ASSERT_EQ(camsim_unplug(cam), CAMSIM_OK);
    const Seen removed = r.at(1);
    expect_at(removed, KAVRI_DEVICE_REMOVED, first);
    EXPECT_EQ(removed.ident, arrived.ident);

    ASSERT_EQ(camsim_replug(cam, 1), CAMSIM_OK);
    const camsim_camera_info_t again = info_of(cam);
    EXPECT_NE(again.address, first.address);
    expect_at(r.at(2), KAVRI_DEVICE_ARRIVED, again);
    EXPECT_EQ(r.at(2).ident, arrived.ident);
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(r.count(), 3u);
}

TEST_F(HotplugTest, CamerasPresentAtRegistrationAreFlaggedAndTwoCamerasAreTold) {
    const int a = plug();
    Recorder r;
    ASSERT_EQ(kavri_set_callback_on_device_change(Recorder::cb, &r), 1);
    const Seen present = r.at(0);
    expect_at(present, KAVRI_DEVICE_ARRIVED, info_of(a));
    EXPECT_NE(present.flags & KAVRI_DEVICE_FLAG_PRESENT, 0u);

    const int b = plug();
    const Seen second = r.at(1);
    expect_at(second, KAVRI_DEVICE_ARRIVED, info_of(b));
    EXPECT_EQ(second.flags & KAVRI_DEVICE_FLAG_PRESENT, 0u);
    EXPECT_NE(second.ident, present.ident);

    ASSERT_EQ(camsim_unplug(a), CAMSIM_OK);
    const Seen gone = r.at(2);
    EXPECT_EQ(gone.kind, KAVRI_DEVICE_REMOVED);
    EXPECT_EQ(gone.ident, present.ident);
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(r.count(), 3u);
}

// A callback that replaces itself by another from inside.
struct Handover {
    Recorder next;
    std::atomic<int> calls{0};
    static void first(const kavri_device_event_t *, void *user) {
        auto &h = *static_cast<Handover *>(user);
        ++h.calls;
        EXPECT_EQ(kavri_set_callback_on_device_change(Recorder::cb, &h.next), 1);
    }
};

TEST_F(HotplugTest, ACallbackReplacesItselfFromInside) {
    Handover h;
    ASSERT_EQ(kavri_set_callback_on_device_change(Handover::first, &h), 1);
    const int a = plug();
    // The new callback starts with the camera present, then sees what follows.
    const Seen present = h.next.at(0);
    EXPECT_NE(present.flags & KAVRI_DEVICE_FLAG_PRESENT, 0u);
    expect_at(present, KAVRI_DEVICE_ARRIVED, info_of(a));
    ASSERT_EQ(camsim_unplug(a), CAMSIM_OK);
    EXPECT_EQ(h.next.at(1).kind, KAVRI_DEVICE_REMOVED);
    EXPECT_EQ(h.calls.load(), 1);
}

struct Counter {
    std::atomic<int> calls{0};
    std::atomic<bool> gone{false};
    std::atomic<int> after_gone{0};
    static void cb(const kavri_device_event_t *, void *user) {
        auto &c = *static_cast<Counter *>(user);
        ++c.calls;
        if (c.gone) ++c.after_gone;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // widen the window
    }
};

TEST_F(HotplugTest, SettingAndRemovingWhileEventsFlowNeitherHangsNorCallsLate) {
    constexpr int kRounds = 10;
    std::atomic<bool> done{false};
    const int cam = plug();
    std::thread churn([&] {
        while (!done) {
            camsim_unplug(cam);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            camsim_replug(cam, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    int total = 0;
    for (int i = 0; i < kRounds; ++i) {
        Counter c;
        ASSERT_EQ(kavri_set_callback_on_device_change(Counter::cb, &c), 1);
        eventually([&] { return c.calls.load() > 0; }, std::chrono::milliseconds(2000));
        ASSERT_EQ(kavri_set_callback_on_device_change(nullptr, nullptr), 1);
        // Once removal returns, the callback is never entered again.
        c.gone = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(c.after_gone.load(), 0);
        total += c.calls.load();
    }
    done = true;
    churn.join();
    EXPECT_GT(total, 0);
}

TEST_F(HotplugTest, UninitStopsTheWatcher) {
#ifndef KAVRI_TEST_REAL_USB
    const int32_t contexts_before = sim_counters().contexts;
#endif
    Recorder r;
    ASSERT_EQ(kavri_set_callback_on_device_change(Recorder::cb, &r), 1);
    const int cam = plug();
    r.at(0);
#ifndef KAVRI_TEST_REAL_USB  // the stand-in counts libusb contexts; the real libusb does not
    EXPECT_GT(sim_counters().contexts, contexts_before);  // the watcher's own
#endif
    kavri_uninit();
#ifndef KAVRI_TEST_REAL_USB
    EXPECT_EQ(sim_counters().contexts, contexts_before);
#endif
    ASSERT_EQ(camsim_unplug(cam), CAMSIM_OK);
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(r.count(), 1u);
}

// ---- the stand-in's hotplug calls, as libusb's -------------------------------

struct RawLog {
    std::vector<std::pair<int, uint8_t>> events;  // event, address
    int return_value = 0;
    bool deregister_inside = false;
    libusb_hotplug_callback_handle handle = 0;
    static int LIBUSB_CALL cb(libusb_context *ctx, libusb_device *dev, libusb_hotplug_event ev,
                              void *user) {
        auto &l = *static_cast<RawLog *>(user);
        libusb_device_descriptor desc{};
        EXPECT_EQ(libusb_get_device_descriptor(dev, &desc), 0);  // valid during the call
        l.events.emplace_back(ev, libusb_get_device_address(dev));
        if (l.deregister_inside) libusb_hotplug_deregister_callback(ctx, l.handle);
        return l.return_value;
    }
};

void handle_pending(libusb_context *ctx) {
    timeval tv{0, 20000};
    libusb_handle_events_timeout_completed(ctx, &tv, nullptr);
}

TEST_F(HotplugTest, StandInDeliversInsideEventHandlingAndHonoursFiltersAndDeregistration) {
    ASSERT_EQ(libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG), 1);
    libusb_context *ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    const int a = plug();
    RawLog enumerated, later, other_vendor, once, self_removing;
    const int both = LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT;
    ASSERT_EQ(
        libusb_hotplug_register_callback(ctx, both, LIBUSB_HOTPLUG_ENUMERATE, KAVRI_USB_VENDOR_ID,
                                         LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                         RawLog::cb, &enumerated, &enumerated.handle),
        0);
    // The camera present came during registration; nothing else has the camera's vendor id.
    ASSERT_EQ(enumerated.events.size(), 1u);
    EXPECT_EQ(enumerated.events[0].first, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    EXPECT_EQ(enumerated.events[0].second, info_of(a).address);
    ASSERT_EQ(libusb_hotplug_register_callback(ctx, both, 0, LIBUSB_HOTPLUG_MATCH_ANY,
                                               LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                               RawLog::cb, &later, &later.handle),
              0);
    EXPECT_TRUE(later.events.empty());  // no enumeration asked for
    ASSERT_EQ(libusb_hotplug_register_callback(ctx, both, 0, kOtherVendor, LIBUSB_HOTPLUG_MATCH_ANY,
                                               LIBUSB_HOTPLUG_MATCH_ANY, RawLog::cb, &other_vendor,
                                               &other_vendor.handle),
              0);
    once.return_value = 1;
    ASSERT_EQ(libusb_hotplug_register_callback(ctx, both, 0, LIBUSB_HOTPLUG_MATCH_ANY,
                                               LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                               RawLog::cb, &once, &once.handle),
              0);
    self_removing.deregister_inside = true;
    ASSERT_EQ(libusb_hotplug_register_callback(ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0,
                                               LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                                               LIBUSB_HOTPLUG_MATCH_ANY, RawLog::cb, &self_removing,
                                               &self_removing.handle),
              0);
    EXPECT_EQ(libusb_hotplug_register_callback(ctx, 0, 0, -1, -1, -1, RawLog::cb, nullptr, nullptr),
              LIBUSB_ERROR_INVALID_PARAM);

    ASSERT_EQ(camsim_unplug(a), CAMSIM_OK);
    EXPECT_TRUE(later.events.empty());  // queued, not delivered outside event handling
    handle_pending(ctx);
    ASSERT_EQ(camsim_replug(a, 1), CAMSIM_OK);
    handle_pending(ctx);
    ASSERT_EQ(camsim_unplug(a), CAMSIM_OK);
    handle_pending(ctx);

    ASSERT_EQ(later.events.size(), 3u);
    EXPECT_EQ(later.events[0].first, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    EXPECT_EQ(later.events[1].first, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
    EXPECT_EQ(later.events[1].second, info_of(a).address);
    EXPECT_EQ(later.events[2].first, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT);
    EXPECT_EQ(enumerated.events.size(), 4u);
    EXPECT_TRUE(other_vendor.events.empty());
    EXPECT_EQ(once.events.size(), 1u);           // returned 1: deregistered
    EXPECT_EQ(self_removing.events.size(), 1u);  // deregistered itself inside
    libusb_hotplug_deregister_callback(ctx, enumerated.handle);
    libusb_hotplug_deregister_callback(ctx, later.handle);
    libusb_hotplug_deregister_callback(ctx, other_vendor.handle);
    libusb_exit(ctx);
}

}  // namespace
}  // namespace kavri_api_test

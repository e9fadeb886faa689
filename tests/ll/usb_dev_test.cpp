// Listing, opening and closing cameras on the simulated bus.
#include <array>
#include <set>
#include <span>

#include "ll/sim_fixture.h"

namespace {

using kavri_test::camera_info;
using kavri_test::LogCapture;
using kavri_test::SimTest;
using kavri_test::usb_info;

using UsbDevices = SimTest;

// The camera whose bus position a listed record names (-1: none of them).
int camera_at(const kavri_ll_t &ll, std::span<const int> cams) {
    for (int cam : cams) {
        const camsim_camera_info_t c = camera_info(cam);
        if (usb_info(ll).usb_bus == c.bus && usb_info(ll).usb_port == c.port) return cam;
    }
    return -1;
}

// The record of the camera at a port: listings follow libusb's order, which
// on the real stack puts the camera plugged last first.
kavri_ll_t &record_at_port(std::span<kavri_ll_t> list, uint8_t port) {
    for (auto &ll : list)
        if (usb_info(ll).usb_port == port) return ll;
    ADD_FAILURE() << "no record at port " << int(port);
    return list[0];
}

TEST_F(UsbDevices, ListingStopsAtTheMaximumInLibusbOrder) {
    const int cams[] = {plug(1, 3), plug(1, 4), plug(2, 1)};
    std::array<kavri_ll_t, 3> list;
    std::memset(list.data(), 0xA5, sizeof list);

    EXPECT_EQ(kavri_ll_dev_list(list.data(), 2), 2);
    std::set<int> seen;
    for (int i = 0; i < 2; ++i) {
        const int cam = camera_at(list[i], cams);
        ASSERT_GE(cam, 0) << i;
        seen.insert(cam);
        const camsim_camera_info_t c = camera_info(cam);
        const kavri_usb_info_t info = usb_info(list[i]);
        EXPECT_EQ(info.usb_addr, c.address);
        EXPECT_EQ(info.usb_speed, c.speed);
        for (uint8_t b : info.reserved) EXPECT_EQ(b, 0);
        EXPECT_EQ(list[i].located, 1);
        EXPECT_EQ(list[i].if_type, KAVRI_IF_USB);
        EXPECT_EQ(list[i].ops, &ll_op_usb);
        EXPECT_EQ(list[i].state, nullptr);
    }
    EXPECT_EQ(seen.size(), 2u);
    // With room for all, every camera is listed once.
    EXPECT_EQ(kavri_ll_dev_list(list.data(), 3), 3);
    seen.clear();
    for (auto &ll : list) seen.insert(camera_at(ll, cams));
    EXPECT_EQ(seen, (std::set<int>{cams[0], cams[1], cams[2]}));
}

TEST_F(UsbDevices, ListingWithoutCamerasFindsNothing) {
    kavri_ll_t list[2];
    EXPECT_EQ(kavri_ll_dev_list(list, 2), 0);
    const auto *bytes = reinterpret_cast<const uint8_t *>(list);
    for (size_t i = 0; i < sizeof list; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST_F(UsbDevices, LocatedRecordFollowsItsCameraToANewAddress) {
    const int cam = plug(1, 5);
    plug(1, 6);
    kavri_ll_t list[2];
    ASSERT_EQ(kavri_ll_dev_list(list, 2), 2);
    kavri_ll_t &listed = record_at_port(list, 5);
    const uint8_t old_addr = usb_info(listed).usb_addr;

    ASSERT_EQ(camsim_unplug(cam), CAMSIM_OK);
    ASSERT_EQ(camsim_replug(cam, 1), CAMSIM_OK);
    ASSERT_NE(camera_info(cam).address, old_addr);

    kavri_ll_t &ll = *keep(listed);
    ASSERT_EQ(kavri_ll_dev_open(&ll), &ll);
    EXPECT_NE(ll.state, nullptr);
    EXPECT_EQ(usb_info(ll).usb_port, 5);
    // The open camera is the one at port 5: its parameter reads back.
    kavri_ll_param_item_t item{};
    item.param_id = KAVRI_PARAM_IDENT;
    ASSERT_EQ(kavri_ll_param_get(&ll, &item, 1), 1);
    uint8_t value[18];
    uint8_t len = 0;
    ASSERT_EQ(camsim_param_get(cam, KAVRI_PARAM_IDENT, value, &len), CAMSIM_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(item.param_val), item.param_val_len),
              std::string(reinterpret_cast<char *>(value), len));
}

TEST_F(UsbDevices, LocatedRecordFailsWhenItsPortIsEmpty) {
    const int gone = plug(1, 5);
    plug(1, 6);
    kavri_ll_t list[2];
    ASSERT_EQ(kavri_ll_dev_list(list, 2), 2);
    ASSERT_EQ(camsim_unplug(gone), CAMSIM_OK);

    kavri_ll_t ll = record_at_port(list, 5);
    EXPECT_EQ(kavri_ll_dev_open(&ll), nullptr);
    EXPECT_EQ(ll.state, nullptr);
    EXPECT_EQ(usb_info(ll).usb_port, 5);  // the location survives for a retry
}

TEST_F(UsbDevices, UnlocatedRecordSkipsACameraThatFailsToOpen) {
    // Plugged last, the broken camera is listed (and tried) first.
    const int good = plug(1, 3, 2 /* full speed */);
    const int broken = plug(1, 2);
    ASSERT_EQ(camsim_inject(broken, CAMSIM_FAULT_OPEN_FAIL, 1, 0, nullptr), CAMSIM_OK);

    LogCapture log(KV_LOG_WRN);
    kavri_ll_t *ll = open_first();
    ASSERT_NE(ll, nullptr);
    EXPECT_TRUE(log.has("failed to open this device: LIBUSB_ERROR_ACCESS, try next ...\n"))
        << log.text();
    EXPECT_TRUE(
        log.has("[_usb_ll_dev_open] found kavri device not in HS mode (speed=2) @ 003:001:"))
        << log.text();
    EXPECT_EQ(ll->located, 1);
    EXPECT_EQ(ll->ops, &ll_op_usb);
    const camsim_camera_info_t info = camera_info(good);
    EXPECT_EQ(usb_info(*ll).usb_port, info.port);
    EXPECT_EQ(usb_info(*ll).usb_bus, info.bus);
    EXPECT_EQ(usb_info(*ll).usb_addr, info.address);
    EXPECT_EQ(usb_info(*ll).usb_speed, 2);
}

TEST_F(UsbDevices, NoCameraMeansNoOpen) {
    kavri_ll_t &ll = *keep(kavri_ll_t{});
    EXPECT_EQ(kavri_ll_dev_open(&ll), nullptr);
    EXPECT_EQ(ll.state, nullptr);
    EXPECT_EQ(ll.located, 0);
    // A failed open starts from scratch next time.
    plug();
    ASSERT_EQ(kavri_ll_dev_open_by_fd(&ll), &ll);
    EXPECT_EQ(ll.located, 1);
}

TEST_F(UsbDevices, OtherTransportKindIsNeitherOpenedNorClosed) {
    plug();
    kavri_ll_t ll{};
    ll.if_type = 1;
    EXPECT_EQ(kavri_ll_dev_open(&ll), nullptr);
    EXPECT_EQ(ll.state, nullptr);
    ll.ops = &ll_op_usb;
    LogCapture log;
    kavri_ll_dev_close(&ll);
    EXPECT_EQ(log.text(), "");
}

TEST_F(UsbDevices, ClosingTwiceIsHarmless) {
    plug();
    kavri_ll_t *ll = open_first();
    ASSERT_NE(ll, nullptr);
    kavri_ll_dev_close(ll);
    EXPECT_EQ(ll->state, nullptr);
    LogCapture log(KV_LOG_WRN);
    kavri_ll_dev_close(ll);
    EXPECT_TRUE(log.has("[WRN] [usb_ll_dev_close] device no need to closed!\n")) << log.text();
}

TEST_F(UsbDevices, ClosedRecordReopensAtTheSameCamera) {
    plug(1, 2);
    const int second = plug(1, 3);
    kavri_ll_t list[2];
    ASSERT_EQ(kavri_ll_dev_list(list, 2), 2);
    kavri_ll_t &ll = *keep(record_at_port(list, 3));
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(kavri_ll_dev_open(&ll), &ll) << round;
        EXPECT_EQ(
            kavri_ll_reg_write(&ll, 1, 0x10, std::array<uint32_t, 1>{uint32_t(round)}.data(), 1),
            1);
        kavri_ll_dev_close(&ll);
        EXPECT_EQ(ll.state, nullptr);
    }
    uint32_t value = 99;
    ASSERT_EQ(camsim_reg_get(second, 1, 0x10, &value), CAMSIM_OK);
    EXPECT_EQ(value, 2u);
}

TEST_F(UsbDevices, InterfaceThatCannotBeClaimedFailsTheOpen) {
    const int cam = plug();
    // Interface 0 busy, and the camera has no interface 1.
    ASSERT_EQ(camsim_inject(cam, CAMSIM_FAULT_CLAIM_BUSY, 1, 0, nullptr), CAMSIM_OK);
    LogCapture log(KV_LOG_ERR);
    kavri_ll_t ll{};
    EXPECT_EQ(kavri_ll_dev_open(&ll), nullptr);
    EXPECT_EQ(ll.state, nullptr);
    EXPECT_TRUE(
        log.has("[usb_ll_dev_open] libusb_claim_interface failed: LIBUSB_ERROR_INVALID_PARAM\n"))
        << log.text();
}

TEST_F(UsbDevices, SecondOpenOfAnOpenRecordIsRefused) {
    plug();
    kavri_ll_t *ll = open_first();
    ASSERT_NE(ll, nullptr);
    void *state = ll->state;
    EXPECT_EQ(kavri_ll_dev_open(ll), nullptr);
    EXPECT_EQ(ll->state, state);
    EXPECT_EQ(kavri_ll_reg_write(ll, 1, 0, std::array<uint32_t, 1>{7}.data(), 1), 1);
}

TEST_F(UsbDevices, OpenAndCloseReportTheirSteps) {
    const int cam = plug(1, 9);
    const camsim_camera_info_t info = camera_info(cam);
    char where[32];
    std::snprintf(where, sizeof where, "@ %03d:%03d:%03d", info.port, info.bus, info.address);
    LogCapture log(KV_LOG_TRC);
    kavri_ll_t list[1];
    ASSERT_EQ(kavri_ll_dev_list(list, 1), 1);
    kavri_ll_t &ll = *keep(list[0]);
    ASSERT_EQ(kavri_ll_dev_open(&ll), &ll);
    kavri_ll_dev_close(&ll);
    const std::string &text = log.text();
    // Finds line after position from; fails the test when it is missing.
    const auto find = [&text](const std::string &line, size_t from = 0) {
        const size_t at = text.find(line, from);
        EXPECT_NE(at, std::string::npos) << line << "\n---\n" << text;
        return at == std::string::npos ? from : at;
    };
    // The caller's steps, in order.
    size_t pos = 0;
    for (const std::string &line :
         {std::string("[DBG] [usb_ll_dev_list] probe kavri device (max=1) in 3 usb device\n"),
          std::string("[DBG] [usb_ll_dev_list]   KAVRI device (speed=3) found ") + where,
          std::string("[DBG] [usb_ll_dev_open]  create usb context\n"),
          std::string("[DBG] [_usb_ll_dev_open] open kavri device ") + where + "\n",
          std::string("[DBG] [usb_ll_dev_close] stop evt thread...\n")})
        pos = find(line, pos);
    // The event thread started with open and ended after close asked it to.
    find("[DBG] [_usb_ll_evt_thread] enter\n");
    find("[TRC] [_ll_event_loop] Enter ll event loop...\n");
    find("[DBG] [_usb_ll_evt_thread] exit\n",
         find("[TRC] [_ll_event_loop] Exit ll event loop...\n", pos));
}

}  // namespace

// Plays an ONI file back with OpenNI2 and reports what arrives, so tests can
// compare it with what was recorded. Runs as a child process of the tests:
// the player's threads and teardown are not ours to trust.
//
//   oni_reader <file.oni> <dump file>
//
// stdout: "stream <kind> <width> <height> <fps> <pixel format> <frames>" per
// stream found, then "frame <kind> <index> <timestamp> <bytes>" per frame in
// arrival order, then "done" or "timeout". The frame bytes are appended to the
// dump file in the same order.
#include <unistd.h>

#include <OpenNI.h>

#include <cstdio>
#include <vector>

namespace {

constexpr int kWaitMs = 3000;

struct Sensor {
    openni::SensorType type;
    const char *name;
};
constexpr Sensor kSensors[] = {
    {openni::SENSOR_DEPTH, "depth"}, {openni::SENSOR_COLOR, "image"}, {openni::SENSOR_IR, "ir"}};

[[noreturn]] void finish(int status) {
    fflush(stdout);
    fflush(stderr);
    // Tearing OpenNI2 down can crash inside it; the process ends here.
    _exit(status);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s <file.oni> <dump file>\n", argv[0]);
        return 2;
    }
    if (openni::OpenNI::initialize() != openni::STATUS_OK) {
        printf("error initialize: %s\n", openni::OpenNI::getExtendedError());
        finish(3);
    }
    FILE *dump = fopen(argv[2], "wb");
    if (dump == nullptr) finish(4);

    auto *device = new openni::Device;
    if (device->open(argv[1]) != openni::STATUS_OK) {
        printf("error open: %s\n", openni::OpenNI::getExtendedError());
        finish(5);
    }
    openni::PlaybackControl *playback = device->getPlaybackControl();
    if (playback == nullptr) finish(6);
    playback->setRepeatEnabled(false);
    playback->setSpeed(-1.0f);

    std::vector<openni::VideoStream *> streams;
    std::vector<const char *> names;
    std::vector<int> expected;
    for (const Sensor &sensor : kSensors) {
        if (!device->hasSensor(sensor.type)) continue;
        auto *stream = new openni::VideoStream;
        if (stream->create(*device, sensor.type) != openni::STATUS_OK) {
            printf("error create %s: %s\n", sensor.name, openni::OpenNI::getExtendedError());
            finish(7);
        }
        const openni::VideoMode mode = stream->getVideoMode();
        const int frames = playback->getNumberOfFrames(*stream);
        printf("stream %s %d %d %d %d %d\n", sensor.name, mode.getResolutionX(),
               mode.getResolutionY(), mode.getFps(), static_cast<int>(mode.getPixelFormat()),
               frames);
        streams.push_back(stream);
        names.push_back(sensor.name);
        expected.push_back(frames);
    }
    for (auto *stream : streams) {
        if (stream->start() != openni::STATUS_OK) {
            printf("error start: %s\n", openni::OpenNI::getExtendedError());
            finish(8);
        }
    }

    std::vector<int> received(streams.size(), 0);
    auto all_received = [&] {
        for (size_t i = 0; i < streams.size(); ++i)
            if (received[i] < expected[i]) return false;
        return true;
    };
    while (!all_received()) {
        int ready = -1;
        if (openni::OpenNI::waitForAnyStream(streams.data(), static_cast<int>(streams.size()),
                                             &ready, kWaitMs) != openni::STATUS_OK ||
            ready < 0) {
            printf("timeout\n");
            fclose(dump);
            finish(0);
        }
        openni::VideoFrameRef frame;
        if (streams[ready]->readFrame(&frame) != openni::STATUS_OK) {
            printf("error read: %s\n", openni::OpenNI::getExtendedError());
            finish(9);
        }
        printf("frame %s %d %llu %d\n", names[ready], frame.getFrameIndex(),
               static_cast<unsigned long long>(frame.getTimestamp()), frame.getDataSize());
        fwrite(frame.getData(), 1, static_cast<size_t>(frame.getDataSize()), dump);
        ++received[ready];
    }
    printf("done\n");
    fclose(dump);
    finish(0);
}

// Device names and the JSON memory image.
#include "image.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

namespace fxsim {
namespace {

using nlohmann::json;

struct NameCase {
    const char* name;
    Device device;
    uint32_t byte;  // PLC byte address of the device
};

TEST(DeviceNames, NameEveryRowAndLandOnTheMapsBytes) {
    const NameCase cases[] = {
        {"S999", {0, 999}, 0x07C},   {"X17", {1, 15}, 0x081},     {"Y177", {2, 127}, 0x0AF},
        {"TS5", {3, 5}, 0x0C0},      {"M1023", {4, 1023}, 0x17F}, {"CS255", {5, 255}, 0x1DF},
        {"M8255", {6, 8255}, 0x1FF}, {"T5", {7, 5}, 0x80A},       {"C199", {8, 199}, 0xB8E},
        {"C200", {9, 200}, 0xC00},   {"D100", {10, 100}, 0x10C8}, {"D8255", {11, 8255}, 0xFFE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parseDevice(c.name), c.device);
        EXPECT_EQ(deviceName(c.device), c.name);
        EXPECT_EQ(deviceByte(c.device), c.byte);
    }
    EXPECT_EQ(parseDevice("d100"), (Device{10, 100}));
    EXPECT_EQ(parseDevice("ts005"), (Device{3, 5}));
    for (const char* bad : {"", "D", "Q1", "X18", "X200", "M1024", "M7999", "D512", "D7999",
                            "D8256", "C256", "T256", "TS256", "S1000", "D-1", "D1x", "D000100"}) {
        EXPECT_FALSE(parseDevice(bad).has_value()) << bad;
    }
}

TEST(Image, RoundTripsThroughJsonInMapOrder) {
    const json in = json::parse(R"({"D100": 4660, "M10": 1, "C200": 70000, "X17": true,
        "TS5": 1, "T5": 300, "D8000": -1, "C201": -2, "Y0": 0, "M8000": false})");
    Memory m;
    imageFromJson(m, in);
    // Bits share bytes with their neighbours; values are little-endian.
    EXPECT_EQ(m.byte(0x081), 0x80);
    EXPECT_EQ(m.byte(0xC00), 0x70);
    EXPECT_EQ(m.byte(0xC02), 0x01);
    const auto out = imageToJson(m);
    EXPECT_EQ(out.dump(), R"({"X17":1,"TS5":1,"M10":1,"T5":300,"C200":70000,"C201":4294967294,)"
                          R"("D100":4660,"D8000":65535})");
    Memory again;
    imageFromJson(again, json::parse(out.dump()));
    EXPECT_EQ(imageToJson(again), out);
}

TEST(Image, RefusesBadKeysAndValues) {
    for (const char* bad :
         {R"([1, 2])", R"({"Q5": 1})", R"({"D0": 65536})", R"({"D0": -32769})", R"({"M0": 2})",
          R"({"M0": -1})", R"({"C200": 4294967296})", R"({"C200": -2147483649})", R"({"D0": 1.5})",
          R"({"D0": "7"})", R"({"D0": true})", R"({"D0": null})"}) {
        Memory m;
        EXPECT_THROW(imageFromJson(m, json::parse(bad)), std::runtime_error) << bad;
    }
}

TEST(Image, FilesRoundTripAndBadFilesThrow) {
    char dir[] = "/tmp/fxsim-image-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/plc.json";
    Memory m;
    m.set({10, 511}, 0xBEEF);
    m.set({4, 7}, 1);
    saveImage(m, path);
    Memory back;
    loadImage(back, path);
    EXPECT_EQ(imageToJson(back), imageToJson(m));

    std::ofstream(path) << "{\"D0\": ";
    EXPECT_THROW(loadImage(back, path), std::runtime_error);
    EXPECT_THROW(loadImage(back, std::string(dir) + "/missing.json"), std::runtime_error);
    EXPECT_THROW(saveImage(m, std::string(dir) + "/no/such/dir.json"), std::runtime_error);
    std::remove(path.c_str());
    rmdir(dir);
}

}  // namespace
}  // namespace fxsim

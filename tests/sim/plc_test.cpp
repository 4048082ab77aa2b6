// The responder as a function of bytes in and bytes out.
#include "plc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "frames.h"

namespace fxsim {
namespace {

using namespace std::string_literals;

using fxsim_test::frame;
using fxsim_test::wire;

// Everything the responder sends back for `input`, fed in one piece.
std::string respond(Plc& plc, const std::string& input, uint64_t nowMs = 0) {
    Link link(plc);
    std::string out;
    for (const auto& a : link.feed(input, nowMs)) {
        out += a.reply;
    }
    return out;
}

constexpr Device kD100{10, 100};

TEST(Responder, WorkedExampleFramesByteForByte) {
    Plc plc;
    EXPECT_EQ(respond(plc, wire("110C8023412", "3C")), "\x06");
    EXPECT_EQ(plc.memory().get(kD100), 0x1234u);
    EXPECT_EQ(respond(plc, wire("010C802", "71")), wire("3412", "CD"));
    EXPECT_EQ(respond(plc, "\x05"), "\x06");
}

TEST(Responder, AcceptsLowerCaseHexAndRepliesUpperCase) {
    Plc plc;
    EXPECT_EQ(respond(plc, wire("110C802abcd", "fc")),
              "\x06");  // sum 0xFC
    EXPECT_EQ(plc.memory().get(kD100), 0xCDABu);
    EXPECT_EQ(respond(plc, frame("010c802")), wire("ABCD", "0D"));
}

TEST(Responder, ServesByteCountZero) {
    Plc plc;
    plc.memory().set(kD100, 0x1234);
    EXPECT_EQ(respond(plc, frame("010C800")), wire("", "03"));
    EXPECT_EQ(respond(plc, frame("110C800")), "\x06");
    EXPECT_EQ(plc.memory().get(kD100), 0x1234u);
}

TEST(Responder, ReadsAndWritesWholeBlocksAcrossAdjacentSpaces) {
    Plc plc;
    // D8255 runs straight into D0: one write of 4 bytes spans both.
    EXPECT_EQ(respond(plc, frame("10FFE0411223344")), "\x06");
    EXPECT_EQ(plc.memory().get({11, 8255}), 0x2211u);
    EXPECT_EQ(plc.memory().get({10, 0}), 0x4433u);
    const std::string max = frame("00000FF");  // the whole bit space from S0
    EXPECT_EQ(respond(plc, max).size(), 2u * 255 + 4);
}

struct RefusalCase {
    const char* name;
    std::string request;
    Refusal why;
};

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, AnswerNakAndStoreNothing) {
    Plc plc;
    EXPECT_EQ(respond(plc, GetParam().request), "\x15");
    EXPECT_EQ(plc.stats().refused.at(static_cast<size_t>(GetParam().why)), 1u);
    for (uint32_t a = 0; a < Memory::kSize; ++a) {
        ASSERT_EQ(plc.memory().byte(a), 0) << "byte " << a;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Refusals,
    ::testing::Values(RefusalCase{"WrongChecksum", wire("110C8023412", "3D"), Refusal::Checksum},
                      RefusalCase{"ChecksumNotHex", wire("010C802", "7G"), Refusal::Checksum},
                      RefusalCase{"UnknownCommand", frame("710C802"), Refusal::Command},
                      RefusalCase{"EmptyBody", frame(""), Refusal::Malformed},
                      RefusalCase{"ShortBody", frame("010C8"), Refusal::Malformed},
                      RefusalCase{"ReadWithData", frame("010C80212"), Refusal::Malformed},
                      RefusalCase{"WriteDataShort", frame("110C80212"), Refusal::Malformed},
                      RefusalCase{"WriteDataLong", frame("110C8011234"), Refusal::Malformed},
                      RefusalCase{"AddressNotHex", frame("110X8021234"), Refusal::Malformed},
                      RefusalCase{"DataNotHex", frame("110C8021G34"), Refusal::Malformed},
                      RefusalCase{"GapAfterBits", frame("1020001FF"), Refusal::Range},
                      RefusalCase{"PastTheLastD", frame("113FF021234"), Refusal::Range},
                      RefusalCase{"C16IntoGap", frame("10B8F021234"), Refusal::Range},
                      RefusalCase{"EmptyOutside", frame("0200000"), Refusal::Range},
                      RefusalCase{"BeyondFourDigitsOfMemory", frame("0FFFF01"), Refusal::Range}),
    [](const auto& p) { return p.param.name; });

TEST(Framing, SkipsGarbageAndCollectsFramesAcrossReads) {
    Plc plc;
    plc.memory().set(kD100, 0x1234);
    Link link(plc);
    const std::string req = wire("010C802", "71");
    EXPECT_TRUE(link.feed("\x00\xFFxyz\x06\x15"s + req.substr(0, 5), 0).empty());
    const auto acts = link.feed(req.substr(5) + "\x05" + req, 10);
    ASSERT_EQ(acts.size(), 3u);
    EXPECT_EQ(acts[0].reply, wire("3412", "CD"));
    EXPECT_EQ(acts[0].request, req);
    EXPECT_EQ(acts[1].kind, RequestKind::Enq);
    EXPECT_EQ(acts[2].kind, RequestKind::Read);
    EXPECT_EQ(plc.stats().skipped, 7u);
    EXPECT_EQ(plc.stats().requests, 3u);
}

TEST(Framing, NewStxOrEnqAbandonsAPartialFrameSilently) {
    Plc plc;
    Link link(plc);
    const std::string stx(1, kStx);
    auto acts = link.feed(stx + "110C80234" + wire("010C802", "71"), 0);
    ASSERT_EQ(acts.size(), 1u);
    EXPECT_EQ(acts[0].kind, RequestKind::Read);
    acts = link.feed(stx + "110C802" + kEnq, 0);
    ASSERT_EQ(acts.size(), 1u);
    EXPECT_EQ(acts[0].kind, RequestKind::Enq);
    EXPECT_EQ(plc.stats().dropped, 2u);
    EXPECT_EQ(plc.memory().get(kD100), 0u);
}

TEST(Framing, InterCharacterTimeoutDropsTheFrame) {
    Plc plc;
    Link link(plc, 500);
    const std::string req = frame("010C802");
    EXPECT_TRUE(link.feed(req.substr(0, 4), 1000).empty());
    EXPECT_EQ(link.deadline(), 1500u);
    EXPECT_EQ(link.feed(req.substr(4, 4), 1499).size(), 0u);  // in time: still one frame
    EXPECT_EQ(link.feed(req.substr(8), 1998).size(), 1u);

    EXPECT_TRUE(link.feed(req.substr(0, 4), 3000).empty());
    link.expire(3499);
    EXPECT_TRUE(link.deadline().has_value());
    link.expire(3500);
    EXPECT_FALSE(link.deadline().has_value());
    EXPECT_TRUE(link.feed(req.substr(4), 3600).empty());  // the tail alone is garbage
    EXPECT_EQ(plc.stats().dropped, 1u);

    EXPECT_TRUE(link.feed(req.substr(0, 4), 5000).empty());
    EXPECT_TRUE(link.feed(req.substr(4), 5600).empty());  // late tail after a silent gap
    EXPECT_EQ(plc.stats().dropped, 2u);
}

TEST(Framing, OverlongFrameIsRefused) {
    Plc plc;
    Link link(plc);
    const auto acts = link.feed(std::string(1, kStx) + "1" + std::string(kMaxBody, '0'), 0);
    ASSERT_EQ(acts.size(), 1u);
    EXPECT_EQ(acts[0].reply, "\x15");
    EXPECT_EQ(acts[0].refusal, Refusal::Malformed);
    EXPECT_EQ(link.feed(frame("010C802"), 0).size(), 1u);  // back in step
}

// ---------------------------------------------------------------------------
// Faults

bool isControl(char c) {
    const char low = static_cast<char>(c & 0x7F);
    return low == kStx || low == kEtx || low == kEnq || low == kAck || low == kNak;
}

struct FaultCase {
    const char* name;
    Fault fault;
    std::string readReply;  // "" with `junk`: any junk of the length of a good reply
    std::string writeReply;
    std::string enqReply;
    bool stored;
    bool junk = false;  // replies are (or end in) junk, checked by shape
};

class Faults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(Faults, ShapeTheReplyAndDecideTheStore) {
    const auto& c = GetParam();
    Plc plc(FaultPlan({c.fault, c.fault, c.fault}, 0, 7));
    plc.memory().set(kD100, 0x1234);
    Link link(plc);
    const auto read = link.feed(frame("010C802"), 0).at(0);
    const auto write = link.feed(frame("110CA025678"), 0).at(0);
    const auto enq = link.feed("\x05", 0).at(0);
    EXPECT_EQ(write.stored, c.stored);
    EXPECT_EQ(plc.memory().get({10, 101}), c.stored ? 0x7856u : 0u);
    EXPECT_EQ(read.delayMs, c.fault.delayMs);
    if (!c.junk) {
        EXPECT_EQ(read.reply, c.readReply);
        EXPECT_EQ(write.reply, c.writeReply);
        EXPECT_EQ(enq.reply, c.enqReply);
        return;
    }
    // Junk never holds a control character, so it can't pass for a reply.
    auto junkAfter = [](const std::string& reply, const std::string& head) {
        EXPECT_EQ(reply.substr(0, head.size()), head);
        const std::string tail = reply.substr(std::min(head.size(), reply.size()));
        EXPECT_FALSE(tail.empty());
        EXPECT_TRUE(std::none_of(tail.begin(), tail.end(), isControl)) << tail;
    };
    junkAfter(read.reply, c.readReply);
    junkAfter(write.reply, c.writeReply);
    junkAfter(enq.reply, c.enqReply);
    if (c.readReply.empty()) {  // garbage in place of the reply: same length
        EXPECT_EQ(read.reply.size(), 8u);
        EXPECT_EQ(write.reply.size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Faults,
    ::testing::Values(
        FaultCase{"Ok", {}, wire("3412", "CD"), "\x06", "\x06", true},
        FaultCase{"Nak", {FaultKind::Nak, 0}, "\x15", "\x15", "\x15", false},
        FaultCase{"Silent", {FaultKind::Silent, 0}, "", "", "", false},
        FaultCase{"BadSum", {FaultKind::BadSum, 0}, wire("3412", "CE"), "F", "F", false},
        FaultCase{"Short", {FaultKind::Short, 0}, wire("3412", "C"), "", "", false},
        FaultCase{"Delay", {FaultKind::Delay, 250}, wire("3412", "CD"), "\x06", "\x06", true},
        FaultCase{"Extra", {FaultKind::Extra, 0}, wire("3412", "CD"), "\x06", "\x06", true, true},
        FaultCase{"Garbage", {FaultKind::Garbage, 0}, "", "", "", false, true}),
    [](const auto& p) { return p.param.name; });

TEST(Faults, RefusedRequestsTakeFaultsToo) {
    Plc plc(FaultPlan({{FaultKind::Silent, 0}, {FaultKind::BadSum, 0}}, 0, 1));
    EXPECT_EQ(respond(plc, frame("7000000")), "");
    EXPECT_EQ(respond(plc, frame("7000000")), "U");  // NAK with a flipped bit
    EXPECT_EQ(respond(plc, frame("7000000")), "\x15");
    EXPECT_EQ(plc.stats().faults.at(static_cast<size_t>(FaultKind::Silent)), 1u);
}

// Whatever the faults, a write is in memory whenever its reply begins with
// ACK, and a reply that does not begin with ACK holds no ACK at all, even
// with the eighth bit stripped.
TEST(Faults, AckMeansStoredUnderRandomFaults) {
    Plc plc(FaultPlan({}, 0.6, 12345));
    Link link(plc);
    uint32_t acked = 0;
    for (uint32_t i = 0; i < 2000; ++i) {
        const uint32_t reg = i % 512;
        const uint32_t value = (i * 2654435761u) & 0xFFFF;
        char body[16];
        std::snprintf(body, sizeof body, "1%04X02%02X%02X", 0x1000 + 2 * reg, value & 0xFF,
                      value >> 8);
        const auto a = link.feed(frame(body), i).at(0);
        const bool ack = !a.reply.empty() && a.reply[0] == kAck;
        ASSERT_EQ(ack, a.stored) << i;
        if (ack) {
            ++acked;
            ASSERT_EQ(plc.memory().get({10, reg}), value) << i;
        } else {
            ASSERT_TRUE(std::none_of(a.reply.begin(), a.reply.end(), [](char c) {
                return (c & 0x7F) == kAck;
            })) << i;
        }
    }
    EXPECT_GT(acked, 400u);
    EXPECT_LT(acked, 2000u);
}

TEST(FaultPlan, ScriptFirstThenReproducibleRandomDraws) {
    auto draw = [](FaultPlan p, int n) {
        std::vector<Fault> out;
        for (int i = 0; i < n; ++i) {
            out.push_back(p.next());
        }
        return out;
    };
    const std::vector<Fault> script{{FaultKind::Nak, 0}, {FaultKind::Delay, 20}};
    const auto a = draw(FaultPlan(script, 0.25, 99), 4000);
    EXPECT_EQ(std::vector<Fault>(a.begin(), a.begin() + 2), script);
    EXPECT_EQ(a, draw(FaultPlan(script, 0.25, 99), 4000));
    EXPECT_NE(a, draw(FaultPlan(script, 0.25, 100), 4000));
    const auto faulty = std::count_if(a.begin() + 2, a.end(),
                                      [](const Fault& f) { return f.kind != FaultKind::Ok; });
    EXPECT_GT(faulty, 800);
    EXPECT_LT(faulty, 1200);

    const auto never = draw(FaultPlan({}, 0, 5), 1000);
    EXPECT_TRUE(
        std::all_of(never.begin(), never.end(), [](const Fault& f) { return f == Fault{}; }));
    const std::vector<Fault> pool{{FaultKind::Silent, 0}};
    const auto always = draw(FaultPlan({}, 1, 5, pool), 1000);
    EXPECT_TRUE(
        std::all_of(always.begin(), always.end(), [&](const Fault& f) { return f == pool[0]; }));
}

TEST(FaultPlan, ParsesLists) {
    const auto all = parseFaultList("ok,nak,silent,badsum,short,extra,garbage,delay=1500");
    ASSERT_TRUE(all.has_value());
    ASSERT_EQ(all->size(), 8u);
    EXPECT_EQ(all->back(), (Fault{FaultKind::Delay, 1500}));
    EXPECT_EQ(parseFaultList("")->size(), 0u);
    for (const char* bad : {"nak,", ",nak", "delay", "delay=", "delay=x", "delay=-1", "NAK",
                            "delay=99999999", "ok,,nak", "slow"}) {
        EXPECT_FALSE(parseFaultList(bad).has_value()) << bad;
    }
}

TEST(Pacing, LineTimeIsTenBitsPerCharacter) {
    EXPECT_EQ(lineTimeUs(12, 9600), 12500u);
    EXPECT_EQ(lineTimeUs(1, 300), 33333u);
}

}  // namespace
}  // namespace fxsim

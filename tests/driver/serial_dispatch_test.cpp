// serial_dispatch_test.cpp - the control-request dispatch on a port that is added but not open:
// defaults, set/get round trips, the records answered from emulated state, the codes that do
// nothing, the codes that are refused, and every buffer length up to each record's size.
#include "port_fixture.h"

#include <cstring>

using namespace port_test;

namespace {

struct Record {
    const char *name;
    ULONG code;
    ULONG input;   // bytes the code reads
    ULONG output;  // bytes the code writes
};

// Every code that reads or writes a record, with the record's size.
const Record kRecords[] = {
    {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},
    {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0},
    {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},
    {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
    {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},
    {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
    {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},
    {"PURGE", IOCTL_SERIAL_PURGE, 4, 0},
    {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},
    {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
    {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, 0, 6},
    {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, 6, 0},
    {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, 0, 16},
    {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
    {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},
    {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
    {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
    {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, 0, 4},
    {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, 0, 4},
    {"GET_STATS", IOCTL_SERIAL_GET_STATS, 0, 24},
    {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4},
    {"SET_MODEM_CONTROL", IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0},
};

class SerialDispatchTest : public SerialTest {
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        if (HasFatalFailure()) return;
        // State every code could change, so that "nothing changed" means something: a present
        // device, bytes in the ring, non-default settings.
        MakePresent();
        PutInRing(7);
        port().SetModemLines(SERIAL_CTS_STATE);
        port().SetModemControl(0x20);
        port().SetWaitMask(SERIAL_EV_RXCHAR);
        port().SetCounts(11, 22);
    }
};

// A short input or output buffer: refused, nothing read into the port, nothing written out.
TEST_F(SerialDispatchTest, ShortBuffersAreRefusedAndChangeNothing)
{
    const std::vector<uint8_t> pattern(64, 0x5B);  // as a purge mask: RXABORT | RXCLEAR and more
    for (const Record &r : kRecords) {
        for (ULONG side = 0; side < 2; side++) {
            const ULONG record = side == 0 ? r.input : r.output;
            for (ULONG length = 0; length < record; length++) {
                const ULONG in = side == 0 ? length : r.input;
                const ULONG out = side == 1 ? length : r.output;
                SCOPED_TRACE(std::string(r.name) + (side ? " output " : " input ") + std::to_string(length));
                const Settings before = Snapshot();
                auto irp = Call(r.code, pattern.data(), in, out);
                EXPECT_EQ(irp->Status(), STATUS_BUFFER_TOO_SMALL);
                EXPECT_EQ(irp->Information(), 0u);
                EXPECT_EQ(Snapshot(), before) << Describe(before) << "\n" << Describe(Snapshot());
                std::vector<uint8_t> expected(std::max(in, out), kOutputMarker);
                if (in != 0) {
                    std::memcpy(expected.data(), pattern.data(), in);
                }
                EXPECT_EQ(irp->Output(expected.size()), expected) << "the driver wrote into a refused request";
            }
        }
    }
}

// At the record's size and beyond it, every code is served; the answer never claims more bytes
// than the caller's output buffer holds, and nothing is written past the system buffer.
TEST_F(SerialDispatchTest, FullBuffersAreServedWithinTheOutputLength)
{
    const std::vector<uint8_t> input(64, 0x00);
    for (const Record &r : kRecords) {
        for (ULONG extra : {0u, 1u, 13u}) {
            SCOPED_TRACE(std::string(r.name) + " extra " + std::to_string(extra));
            const ULONG in = r.input + extra;
            const ULONG out = r.output + extra;
            auto irp = Send(r.code, input.data(), in, out);
            if (irp->Dispatch() == STATUS_PENDING && !irp->Done()) {
                EXPECT_EQ(r.code, IOCTL_SERIAL_WAIT_ON_MASK);
                irp->Cancel();
            }
            ASSERT_TRUE(irp->Done());
            EXPECT_NE(irp->Status(), STATUS_BUFFER_TOO_SMALL);
            EXPECT_LE(irp->Information(), out);
            if (r.output && irp->Status() == STATUS_SUCCESS && r.code != IOCTL_SERIAL_WAIT_ON_MASK) {
                EXPECT_EQ(irp->Information(), r.output) << "a query answers with its whole record";
            }
            EXPECT_TRUE(irp->GuardIntact());
        }
    }
}

// ---------------------------------------------------------------------------------------------

struct DefaultRow {
    const char *name;
    ULONG code;
    std::vector<uint8_t> expected;
};

TEST_F(SerialTest, FreshDeviceAnswersItsDefaults)
{
    const ULONG baud = 115200;
    const SERIAL_LINE_CONTROL line = {0, 0, 8};
    const SERIAL_CHARS chars = {0, 0, 0, 0, 0x11, 0x13};
    const std::vector<DefaultRow> rows = {
        {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, BytesOf(baud)},
        {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, BytesOf(line)},
        {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, std::vector<uint8_t>(20, 0)},
        {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, std::vector<uint8_t>(16, 0)},
        {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, std::vector<uint8_t>(4, 0)},
        {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, BytesOf(chars)},
        {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, std::vector<uint8_t>(4, 0)},
        {"GET_STATS", IOCTL_SERIAL_GET_STATS, std::vector<uint8_t>(24, 0)},
        {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, std::vector<uint8_t>(4, 0)},
        {"GET_MODEMSTATUS absent", IOCTL_SERIAL_GET_MODEMSTATUS, std::vector<uint8_t>(4, 0)},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto irp = Call(row.code, nullptr, 0, ULONG(row.expected.size()));
        EXPECT_EQ(irp->Status(), STATUS_SUCCESS);
        EXPECT_EQ(irp->Information(), row.expected.size());
        EXPECT_EQ(irp->Output(row.expected.size()), row.expected);
    }
}

struct RoundTrip {
    const char *name;
    ULONG set_code;
    ULONG get_code;
    std::vector<uint8_t> value;
    ULONG set_information;  // what the set reports when the caller leaves room for it
};

TEST_F(SerialTest, SettingsReadBackWhole)
{
    const SERIAL_LINE_CONTROL line = {STOP_BITS_2, SPACE_PARITY, 5};
    const SERIAL_TIMEOUTS timeouts = {1, 0xFFFFFFFF, 500, 7, 0x80000000};
    const SERIAL_HANDFLOW flow = {0x80000041, SERIAL_AUTO_TRANSMIT | SERIAL_RTS_HANDSHAKE, -1, 0x7FFFFFFF};
    const SERIAL_CHARS chars = {0x1A, 0x3F, 0x00, 0x7E, 0x01, 0xFF};
    const std::vector<RoundTrip> rows = {
        {"baud 9600", IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, BytesOf(ULONG(9600)), 4},
        {"baud 0", IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, BytesOf(ULONG(0)), 4},
        {"baud max", IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE, BytesOf(ULONG(0xFFFFFFFF)), 4},
        {"line control", IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL, BytesOf(line), 3},
        {"timeouts", IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, BytesOf(timeouts), 20},
        {"handflow", IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW, BytesOf(flow), 16},
        {"chars", IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS, BytesOf(chars), 0},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const ULONG size = ULONG(row.value.size());
        auto set = Call(row.set_code, row.value.data(), size, size);
        EXPECT_EQ(set->Status(), STATUS_SUCCESS);
        EXPECT_EQ(set->Information(), row.set_information);
        auto get = Call(row.get_code, nullptr, 0, size);
        EXPECT_EQ(get->Status(), STATUS_SUCCESS);
        EXPECT_EQ(get->Information(), size);
        EXPECT_EQ(get->Output(size), row.value);
    }
}

// All three read time-outs MAXULONG would ask a read both to return at once and to wait for ever:
// refused, as serial ports refuse it, and nothing changes. One member less is a valid setting.
TEST_F(SerialTest, ContradictoryReadTimeoutsAreRefused)
{
    const SERIAL_TIMEOUTS refused = {MAXULONG, MAXULONG, MAXULONG, 1, 2};
    const Settings before = Snapshot();
    auto set = Call(IOCTL_SERIAL_SET_TIMEOUTS, &refused, sizeof(refused), 0);
    EXPECT_EQ(set->Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(set->Information(), 0u);
    EXPECT_EQ(Snapshot(), before);

    const SERIAL_TIMEOUTS kept = {MAXULONG, MAXULONG, MAXULONG - 1, 0, 0};
    EXPECT_EQ(Call(IOCTL_SERIAL_SET_TIMEOUTS, &kept, sizeof(kept), 0)->Status(), STATUS_SUCCESS);
    EXPECT_EQ(VpLoad(&Ext()->Timeouts.ReadTotalTimeoutConstant), MAXULONG - 1);
}

// A set request carries no output: the size it reports is cut to what the caller can receive.
TEST_F(SerialTest, SetReportsNoMoreThanTheOutputLength)
{
    const ULONG baud = 57600;
    for (ULONG out : {0u, 1u, 3u, 4u, 8u}) {
        auto irp = Call(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof(baud), out);
        EXPECT_EQ(irp->Status(), STATUS_SUCCESS);
        EXPECT_EQ(irp->Information(), std::min<ULONG>(out, 4)) << "output length " << out;
    }
    EXPECT_EQ(Ext()->BaudRate, baud);
}

TEST_F(SerialTest, CodesWithoutEffectSucceedAndChangeNothing)
{
    const ULONG codes[] = {IOCTL_SERIAL_SET_QUEUE_SIZE, IOCTL_SERIAL_SET_BREAK_ON,  IOCTL_SERIAL_SET_BREAK_OFF,
                           IOCTL_SERIAL_IMMEDIATE_CHAR, IOCTL_SERIAL_RESET_DEVICE,  IOCTL_SERIAL_SET_XOFF,
                           IOCTL_SERIAL_SET_XON,        IOCTL_SERIAL_XOFF_COUNTER,  IOCTL_SERIAL_LSRMST_INSERT,
                           IOCTL_SERIAL_SET_FIFO_CONTROL, IOCTL_VPARALLEL_NOP};
    const std::vector<uint8_t> input(12, 0x77);
    PutInRing(3);
    for (ULONG code : codes) {
        SCOPED_TRACE(::testing::Message() << std::hex << code);
        const Settings before = Snapshot();
        for (ULONG in : {0u, 12u}) {
            auto irp = Call(code, input.data(), in, 16);
            EXPECT_EQ(irp->Status(), STATUS_SUCCESS);
            EXPECT_EQ(irp->Information(), 0u);
            std::vector<uint8_t> expected(16, kOutputMarker);
            std::memcpy(expected.data(), input.data(), in);
            EXPECT_EQ(irp->Output(16), expected);
        }
        EXPECT_EQ(Snapshot(), before);
    }
}

TEST_F(SerialTest, CodesOutsideTheTableAreRefused)
{
    const ULONG codes[] = {
        IOCTL_SERIAL_GET_COMMCONFIG, IOCTL_SERIAL_SET_COMMCONFIG, IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION,
        0x0, 0x1B0000, 0x1B00A4, 0x1B0049 /* WAIT_ON_MASK with another transfer method */,
        0x1BC048 /* WAIT_ON_MASK with another access */, 0x222008, 0x221FFC, 0x160000, 0xFFFFFFFF};
    const std::vector<uint8_t> input(64, 0x5B);
    MakePresent();
    PutInRing(3);
    for (ULONG code : codes) {
        SCOPED_TRACE(::testing::Message() << std::hex << code);
        const Settings before = Snapshot();
        auto irp = Call(code, input.data(), 64, 64);
        EXPECT_EQ(irp->Status(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(irp->Information(), 0u);
        EXPECT_EQ(irp->Output(64), input);
        EXPECT_EQ(Snapshot(), before);
    }
}

// ---------------------------------------------------------------------------------------------
// The queries that report the emulated port: whole records, nothing of the old buffer left.
// ---------------------------------------------------------------------------------------------
TEST_F(SerialTest, PropertiesDescribeTheEmulatedPort)
{
    auto irp = Call(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, sizeof(SERIAL_COMMPROP));
    ASSERT_EQ(irp->Status(), STATUS_SUCCESS);
    EXPECT_EQ(irp->Information(), sizeof(SERIAL_COMMPROP));
    const auto bytes = irp->Output(sizeof(SERIAL_COMMPROP));
    SERIAL_COMMPROP p;
    std::memcpy(&p, bytes.data(), sizeof(p));
    EXPECT_EQ(p.PacketLength, sizeof(SERIAL_COMMPROP));
    EXPECT_EQ(p.PacketVersion, 2);
    EXPECT_EQ(p.ServiceMask, ULONG(SERIAL_SP_SERIALCOMM));
    EXPECT_EQ(p.MaxTxQueue, 0u);
    EXPECT_EQ(p.MaxRxQueue, RX_BUFFER_SIZE - 1);
    EXPECT_EQ(p.CurrentRxQueue, RX_BUFFER_SIZE - 1);
    EXPECT_EQ(p.CurrentTxQueue, 0u);
    EXPECT_EQ(p.MaxBaud, ULONG(SERIAL_BAUD_USER));
    EXPECT_EQ(p.ProvCapabilities, ULONG(SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS));
    EXPECT_EQ(p.SettableParams & (SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS | SERIAL_SP_PARITY),
              ULONG(SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS | SERIAL_SP_PARITY));
    EXPECT_TRUE(p.SettableBaud & SERIAL_BAUD_115200);
    EXPECT_TRUE(p.SettableBaud & SERIAL_BAUD_9600);
    EXPECT_TRUE(p.SettableBaud & SERIAL_BAUD_USER);
    EXPECT_EQ(p.SettableData, SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8);
    EXPECT_TRUE(p.SettableStopParity & SERIAL_STOPBITS_10);
    EXPECT_TRUE(p.SettableStopParity & SERIAL_PARITY_NONE);
    EXPECT_EQ(p.ProvSpec1, 0u);
    EXPECT_EQ(p.ProvSpec2, 0u);
    // ProvChar and the padding after it: zeros, not what the caller's buffer held.
    EXPECT_EQ(bytes[60], 0);
    EXPECT_EQ(bytes[61], 0);
    EXPECT_EQ(bytes[62], 0);
    EXPECT_EQ(bytes[63], 0);
}

TEST_F(SerialTest, StatisticsReportTheCountsAndClear)
{
    port().SetCounts(1234, 987654);
    auto get = Call(IOCTL_SERIAL_GET_STATS, nullptr, 0, sizeof(SERIALPERF_STATS));
    ASSERT_EQ(get->Status(), STATUS_SUCCESS);
    EXPECT_EQ(get->Information(), sizeof(SERIALPERF_STATS));
    SERIALPERF_STATS expected = {1234, 987654, 0, 0, 0, 0};
    EXPECT_EQ(get->Output(sizeof(SERIALPERF_STATS)), BytesOf(expected));

    auto clear = Call(IOCTL_SERIAL_CLEAR_STATS);
    EXPECT_EQ(clear->Status(), STATUS_SUCCESS);
    EXPECT_EQ(clear->Information(), 0u);
    auto again = Call(IOCTL_SERIAL_GET_STATS, nullptr, 0, sizeof(SERIALPERF_STATS));
    EXPECT_EQ(again->Output(sizeof(SERIALPERF_STATS)), std::vector<uint8_t>(sizeof(SERIALPERF_STATS), 0));
}

TEST_F(SerialTest, ConfigSizeIsZeroInFourBytes)
{
    auto irp = Call(IOCTL_SERIAL_CONFIG_SIZE, nullptr, 0, 8);
    EXPECT_EQ(irp->Status(), STATUS_SUCCESS);
    EXPECT_EQ(irp->Information(), 4u);
    std::vector<uint8_t> expected = {0, 0, 0, 0, kOutputMarker, kOutputMarker, kOutputMarker, kOutputMarker};
    EXPECT_EQ(irp->Output(8), expected);
}

}  // namespace

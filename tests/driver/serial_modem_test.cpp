// serial_modem_test.cpp - the emulated modem lines and the requests that depend on whether the
// USB device is present: DTR/RTS, modem control, modem status and the comm status.
#include "port_fixture.h"

using namespace port_test;

namespace {

struct ModemControlRow {
    ULONG value;
    ULONG modem_status;  // what ModemStatus becomes with the device present
};

TEST_F(SerialTest, ModemControlDrivesDsrFromBit0AndCtsFromBit4)
{
    const ModemControlRow rows[] = {
        {0x01, 0x20}, {0x10, 0x10}, {0x11, 0x30}, {0x00, 0x00}, {0x02, 0x00},
        {0x20, 0x00}, {0x33, 0x30}, {0xFFFFFFEE, 0x00}, {0xFFFFFFFF, 0x30},
    };
    MakePresent();
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << "value " << row.value);
        port().SetModemLines(SERIAL_CTS_STATE | SERIAL_DSR_STATE);  // the set must clear what it lacks
        auto set = Call(IOCTL_SERIAL_SET_MODEM_CONTROL, &row.value, 4, 4);
        EXPECT_EQ(set->Status(), STATUS_SUCCESS);
        EXPECT_EQ(set->Information(), 4u);
        EXPECT_EQ(port().ModemLines(), row.modem_status);
        EXPECT_EQ(port().ModemControl(), row.value);
        auto get = Call(IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, 4);
        EXPECT_EQ(get->Status(), STATUS_SUCCESS);
        EXPECT_EQ(get->Information(), 4u);
        EXPECT_EQ(get->OutputUlong(), row.value);
    }
}

TEST_F(SerialTest, ModemControlIsRefusedWithoutTheDevice)
{
    const ModemControlRow rows[] = {{0x01, 0}, {0x10, 0}, {0x11, 0}, {0x00, 0}, {0x02, 0}};
    MakePresent();
    const ULONG previous = 0x11;
    Call(IOCTL_SERIAL_SET_MODEM_CONTROL, &previous, 4, 0);
    ASSERT_EQ(port().ModemLines(), 0x30u);
    port().printer->Unplug();
    for (const auto &row : rows) {
        SCOPED_TRACE(::testing::Message() << std::hex << "value " << row.value);
        const Settings before = Snapshot();
        auto set = Call(IOCTL_SERIAL_SET_MODEM_CONTROL, &row.value, 4, 4);
        EXPECT_EQ(set->Status(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(set->Information(), 0u);
        auto get = Call(IOCTL_SERIAL_GET_MODEM_CONTROL, nullptr, 0, 4);
        EXPECT_EQ(get->Status(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(get->Information(), 0u);
        EXPECT_EQ(Snapshot(), before);
    }
    EXPECT_EQ(port().ModemControl(), previous);
    EXPECT_EQ(port().ModemLines(), 0x30u);
}

// The DTR and RTS requests move one line each and leave the other alone; GET_DTRRTS reports them.
struct LineRow {
    const char *name;
    ULONG code;
    ULONG modem_status;
    ULONG dtr_rts;
};

TEST_F(SerialTest, DtrDrivesDsrAndRtsDrivesCts)
{
    const LineRow rows[] = {
        {"SET_DTR", IOCTL_SERIAL_SET_DTR, 0x20, SERIAL_DTR_STATE},
        {"SET_RTS", IOCTL_SERIAL_SET_RTS, 0x30, SERIAL_DTR_STATE | SERIAL_RTS_STATE},
        {"SET_RTS again", IOCTL_SERIAL_SET_RTS, 0x30, SERIAL_DTR_STATE | SERIAL_RTS_STATE},
        {"CLR_DTR", IOCTL_SERIAL_CLR_DTR, 0x10, SERIAL_RTS_STATE},
        {"CLR_DTR again", IOCTL_SERIAL_CLR_DTR, 0x10, SERIAL_RTS_STATE},
        {"CLR_RTS", IOCTL_SERIAL_CLR_RTS, 0x00, 0},
        {"SET_DTR last", IOCTL_SERIAL_SET_DTR, 0x20, SERIAL_DTR_STATE},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        auto irp = Call(row.code, nullptr, 0, 0);
        EXPECT_EQ(irp->Status(), STATUS_SUCCESS);
        EXPECT_EQ(irp->Information(), 0u);
        EXPECT_EQ(port().ModemLines(), row.modem_status);
        auto get = Call(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, 4);
        EXPECT_EQ(get->Status(), STATUS_SUCCESS);
        EXPECT_EQ(get->Information(), 4u);
        EXPECT_EQ(get->OutputUlong(), row.dtr_rts);
    }
}

TEST_F(SerialTest, ModemStatusReportsPresenceAndKeepsIt)
{
    MakePresent();
    port().SetModemLines(SERIAL_CTS_STATE | SERIAL_DSR_STATE);  // as an open with the device present
    Call(IOCTL_SERIAL_CLR_DTR);
    EXPECT_EQ(port().ModemLines(), 0x10u);

    auto present = Call(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, 4);
    EXPECT_EQ(present->Status(), STATUS_SUCCESS);
    EXPECT_EQ(present->Information(), 4u);
    EXPECT_EQ(present->OutputUlong(), 0x30u);
    EXPECT_EQ(port().ModemLines(), 0x30u);

    port().printer->Unplug();
    auto absent = Call(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, 4);
    EXPECT_EQ(absent->Status(), STATUS_SUCCESS);
    EXPECT_EQ(absent->Information(), 4u);
    EXPECT_EQ(absent->OutputUlong(), 0u);
    EXPECT_EQ(port().ModemLines(), 0u);
}

TEST_F(SerialTest, CommStatusCountsTheRing)
{
    MakePresent();
    PutInRing(5);
    auto irp = Call(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
    ASSERT_EQ(irp->Status(), STATUS_SUCCESS);
    EXPECT_EQ(irp->Information(), 20u);
    SERIAL_STATUS expected{};
    expected.AmountInInQueue = 5;
    // The whole record, padding included, is written: no marker byte survives.
    EXPECT_EQ(irp->Output(20), BytesOf(expected));
    EXPECT_EQ(RxBufferCount(Ext()->RxBuffer), 5u) << "counting does not consume";
}

TEST_F(SerialTest, CommStatusIsRefusedWithoutTheDevice)
{
    MakeAbsent();
    PutInRing(5);
    auto irp = Call(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
    EXPECT_EQ(irp->Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(irp->Information(), 0u);
    EXPECT_EQ(irp->Output(20), std::vector<uint8_t>(20, kOutputMarker));
}

// A port that was never linked has an empty LinkedId: it counts as absent, not as present.
TEST_F(SerialTest, UnlinkedPortCountsAsAbsent)
{
    auto comm = Call(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
    EXPECT_EQ(comm->Status(), STATUS_UNSUCCESSFUL);
    auto status = Call(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, 4);
    EXPECT_EQ(status->OutputUlong(), 0u);
}

}  // namespace

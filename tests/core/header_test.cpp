// The public header: identifiers, codes, the record's layout, and the C
// view of the interfaces.
#include "horolog/horolog.h"

#include "support/engine_test_support.h"

#include <cstddef>
#include <cstring>

extern "C" int DriveHorologFromC(IHorolog* h);

namespace {

using enginetest::ManagerTest;

TEST(PublicHeaderTest, IdentifiersAndCodes) {
    struct Case {
        const GUID* guid;
        GUID expected;
    } cases[] = {
        {&CLSID_Horolog,
         {0x6A3C51E2, 0x7D94, 0x4B1F, {0x9E, 0x08, 0x2C, 0x5D, 0x7B, 0x6A, 0x1F, 0x30}}},
        {&IID_IHorolog,
         {0xB84E2F17, 0x3C65, 0x4A9D, {0x8F, 0x21, 0x5E, 0x0C, 0x9D, 0x3B, 0x7A, 0x42}}},
        {&IID_IHorologSite,
         {0x0D5F7A93, 0xE1B2, 0x4C68, {0xA4, 0xF5, 0x93, 0xB1, 0xC2, 0xE8, 0xD6, 0x54}}},
        {&IID_ITimerSite,
         {0xF29B6C04, 0x58AE, 0x4E37, {0xB1, 0xD9, 0x07, 0xA4, 0xE6, 0xC3, 0xB2, 0x85}}},
    };
    for (const Case& c : cases) EXPECT_EQ(std::memcmp(c.guid, &c.expected, sizeof(GUID)), 0);

    EXPECT_EQ(static_cast<uint32_t>(E_TIMERFAILURE), 0x80044D9Fu);
    EXPECT_EQ(static_cast<uint32_t>(E_TIMERIDINVALID), 0x80044DA0u);
    EXPECT_TRUE(FAILED(E_TIMERFAILURE));
    EXPECT_EQ(HRESULT_FACILITY(E_TIMERIDINVALID), FACILITY_ITF);
    EXPECT_EQ(TIMER_EVENT_EXPIRED, 1201);
    EXPECT_EQ(TIMERTYPE_RELATIVE, 0);
    EXPECT_EQ(TIMERTYPE_ABSOLUTE, 1);
}

// On 32-bit targets the header checks the 48-byte layout at compile time;
// elsewhere the record keeps the declaration order with natural alignment.
TEST(PublicHeaderTest, RecordFieldsInDeclarationOrder) {
    const size_t offsets[] = {
        offsetof(TIMERPARAMETERS, dwTimerId),      offsetof(TIMERPARAMETERS, pContext),
        offsetof(TIMERPARAMETERS, pSite),          offsetof(TIMERPARAMETERS, lInterval),
        offsetof(TIMERPARAMETERS, ftDueTime),      offsetof(TIMERPARAMETERS, bRepeat),
        offsetof(TIMERPARAMETERS, dwTimerType),    offsetof(TIMERPARAMETERS, wReserved),
        offsetof(TIMERPARAMETERS, hWaitableTimer), offsetof(TIMERPARAMETERS, lRemaining),
        offsetof(TIMERPARAMETERS, bJustQueued),
    };
    for (size_t i = 1; i < sizeof offsets / sizeof offsets[0]; ++i)
        EXPECT_LT(offsets[i - 1], offsets[i]) << "field " << i;
    EXPECT_EQ(offsetof(TIMERPARAMETERS, dwTimerId), 0u);
    EXPECT_EQ(sizeof(void*) == 4 ? 48u : 64u, sizeof(TIMERPARAMETERS));
}

using CClientTest = ManagerTest;

TEST_F(CClientTest, ClientWrittenInCDrivesTheManagerThroughItsFunctionTable) {
    EXPECT_EQ(DriveHorologFromC(m), 0);
}

}  // namespace

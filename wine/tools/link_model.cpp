/*
 * link_model.cpp - the driver's vendor check and model classification, for the user-mode tools.
 */
#include "wine/tools/link_model.h"

#include <wchar.h>

namespace {

const size_t kVendorChars = 16;
const size_t kDeviceIdChars = 25;
const size_t kAnswerBytes = 255;
const size_t kAnswerHeaderBytes = 20;

const wchar_t *const kVendors[] = {L"##?#USB#Vid_1504", L"##?#USB#Vid_0419", L"##?#USB#Vid_055d"};

struct ModelEntry {
    const wchar_t *deviceId;
    unsigned modelClass;
};

const ModelEntry kModels[] = {
    {L"##?#USB#Vid_1504&Pid_0006", 2},
    {L"##?#USB#Vid_1504&Pid_000b", 2},
    {L"##?#USB#Vid_1504&Pid_0002", 3},
    {L"##?#USB#Vid_055d&Pid_4010", 3},
};

} // namespace

bool IsAcceptedVendor(const wchar_t *linkedId)
{
    for (const wchar_t *vendor : kVendors) {
        if (wcsncmp(linkedId, vendor, kVendorChars) == 0) {
            return true;
        }
    }
    return false;
}

unsigned ModelClassOf(const wchar_t *linkedId)
{
    for (const ModelEntry &model : kModels) {
        if (wcsncmp(linkedId, model.deviceId, kDeviceIdChars) == 0) {
            return model.modelClass;
        }
    }
    return 1;
}

size_t MaxLinkValueChars(const wchar_t *valueName)
{
    size_t nameBytes = wcslen(valueName) * sizeof(wchar_t);
    return (kAnswerBytes - kAnswerHeaderBytes - nameBytes) / sizeof(wchar_t) - 1;
}

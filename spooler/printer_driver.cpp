#include "spooler/printer_driver.h"

#include "common/call_buffer.h"
#include "common/text.h"
#include "common/wide_string.h"
#include "files/component_copy.h"
#include "files/deferred_deletes.h"
#include "run/install_context.h"
#include "run/install_log.h"
#include "spooler/spooler_control.h"

#include <cstring>

namespace {

const WCHAR Vendor[] = W("Vorland Software Kft.");
const WCHAR VendorUrl[] = W("https://www.vorland.hu/kestrovane");

// Record stride by DRIVER_INFO level (x64); 0 for levels we do not read.
size_t DriverStride(uint32_t level) {
    switch (level) {
    case 1:
        return sizeof(DRIVER_INFO_1W);
    case 2:
        return sizeof(DRIVER_INFO_2W);
    case 3:
        return sizeof(DRIVER_INFO_3W);
    case 4:
        return sizeof(DRIVER_INFO_4W);
    case 5:
        return sizeof(DRIVER_INFO_5W);
    case 6:
        return sizeof(DRIVER_INFO_6W);
    default:
        return 0;
    }
}

// pName leads level 1 and follows the 32-bit cVersion in every other level.
const WCHAR* DriverName(const DriverList& list, uint32_t index) {
    const BYTE* record = list.entries + index * DriverStride(list.level);
    if (list.level == 1)
        return reinterpret_cast<const DRIVER_INFO_1W*>(record)->pName;
    return reinterpret_cast<const DRIVER_INFO_2W*>(record)->pName;
}

bool DeleteOurDriver(InstallContext& context) {
    LPWSTR environment = const_cast<LPWSTR>(context.Environment);
    LPWSTR name = const_cast<LPWSTR>(OurDriverName);
    if (DeletePrinterDriverExW(nullptr, environment, name, DPD_DELETE_ALL_FILES, 0))
        return true;
    // Windows never refuses this valid call as a bad parameter; a spooler
    // that does (Wine's takes no delete flag at all) still drops the
    // registration when asked without one, and then keeps the files itself.
    if (GetLastError() != ERROR_INVALID_PARAMETER)
        return false;
    return DeletePrinterDriverExW(nullptr, environment, name, 0, 0) != FALSE;
}

void DeleteStagedCopy(InstallContext& context, const WCHAR* path) {
    if (path[0] && !DeleteFileW(path) && !DeferDelete(context.DeferredDeletes, path))
        LogError(context, ErrScheduleDelete, ERROR_NOT_ENOUGH_MEMORY, path);
}

} // namespace

DriverList& EnumDriverList(DriverList& list, const WCHAR* environment) {
    list.entries = nullptr;
    list.level = 6;
    list.count = 0;
    list.failed = false;
    DWORD count = 0;
    LPWSTR env = const_cast<LPWSTR>(environment);
    CallBuffer answer = ReadCallBuffer([env, &count](LPBYTE block, DWORD size, DWORD* needed) {
        return EnumPrinterDriversW(nullptr, env, 6, block, size, needed, &count);
    });
    if (answer.step == BufferStep::NoMemory)
        SetLastError(static_cast<DWORD>(E_OUTOFMEMORY));
    list.failed = answer.step != BufferStep::Read && answer.step != BufferStep::SizeAnswered;
    if (answer.step != BufferStep::Read)
        return list;
    list.entries = answer.block;
    list.count = count;
    return list;
}

int32_t FindOurDriver(const DriverList& list) {
    if (list.count == 0 || !list.entries || DriverStride(list.level) == 0)
        return -1;
    for (uint32_t i = 0; i < list.count; ++i) {
        const WCHAR* name = DriverName(list, i);
        if (name && TextEqual(name, OurDriverName))
            return static_cast<int32_t>(i);
    }
    return -1;
}

void SetupDriver(InstallContext& context) {
    LogLine(context, W(">Add Printer Driver"));
    LogScope scope(context);
    const WCHAR* directory = Text(context.DriverDir);
    WCHAR driverPath[ComponentPathCapacity];
    WCHAR uiPath[ComponentPathCapacity];
    WCHAR helpPath[ComponentPathCapacity];
    if (CopyComponent(context, directory, context.DriverFile, driverPath, true) != S_OK ||
        CopyComponent(context, directory, context.UiFile, uiPath, true) != S_OK)
        return;
    if (CopyComponent(context, directory, context.HelpFile, helpPath, true) != S_OK)
        helpPath[0] = 0; // registered without a help file

    DRIVER_INFO_6W info;
    std::memset(&info, 0, sizeof info);
    info.cVersion = 3;
    info.pName = const_cast<LPWSTR>(OurDriverName);
    info.pEnvironment = const_cast<LPWSTR>(context.Environment);
    info.pDriverPath = driverPath;
    info.pDataFile = driverPath;
    info.pConfigFile = uiPath;
    info.pHelpFile = helpPath;
    info.pszMfgName = const_cast<LPWSTR>(Vendor);
    info.pszOEMUrl = const_cast<LPWSTR>(VendorUrl);
    info.pszProvider = const_cast<LPWSTR>(Vendor);
    if (AddPrinterDriverExW(nullptr, 6, reinterpret_cast<LPBYTE>(&info), APD_COPY_ALL_FILES))
        LogLine(context, W("OK :)"));
    else
        LogError(context, ErrInstallDriver, GetLastError());

    // The spooler has its own copies now; the staged ones go.
    DeleteStagedCopy(context, driverPath);
    DeleteStagedCopy(context, uiPath);
    DeleteStagedCopy(context, helpPath);
}

void RemoveDriver(InstallContext& context, const DriverList& list) {
    LogLine(context, W(">DeletePrinterDriver for %s"), context.Environment);
    LogScope scope(context);
    if (list.count > 0 && list.entries) {
        LogLine(context, W("------------ %d existing drivers-----------"),
                static_cast<int32_t>(list.count));
        // Each record is read with its own level's layout; for the lists
        // UnInstall takes that is level 6.
        bool readable = DriverStride(list.level) != 0;
        for (uint32_t i = 0; i < list.count; ++i) {
            const WCHAR* name = readable ? DriverName(list, i) : nullptr;
            LogLine(context, W("%d. %s"), static_cast<int32_t>(i + 1),
                    name ? name : W("***EMPTY***"));
        }
        LogLine(context, W("-------------------------------------------"));
    } else {
        LogLine(context, W("BTW, there is no printer drivers on this system."));
    }
    int32_t index = FindOurDriver(list);
    if (index < 0 && !list.failed) {
        LogLine(context, W("No Kestrovane driver was found"));
        return;
    }
    if (index >= 0)
        LogLine(context, W("Driver is found. Index=%d"), index + 1);
    if (!DeleteOurDriver(context)) {
        // Not finding it in a list that could not be read proves nothing: the
        // spooler's own answer does.
        if (index < 0 && GetLastError() == ERROR_UNKNOWN_PRINTER_DRIVER) {
            LogLine(context, W("No Kestrovane driver was found"));
            return;
        }
        LogLine(context, W("Can't delete driver. Trying to restart spooler"));
        { SpoolerRestart restart(&context); }
        if (!DeleteOurDriver(context)) {
            LogError(context, ErrRemoveDriver, GetLastError());
            return;
        }
    }
    LogLine(context, W("OK :)"));
}

#include "comm/error_msg.h"

#include <cstdlib>
#include <cstring>

namespace qx {

namespace {

struct ErrorText {
    int Code;  // absolute value
    const char* Text;
};

// Sorted by code only for reading; looked up linearly (a few dozen entries, rarely used).
constexpr ErrorText kTexts[] = {
    // File-system results (the runtime's I/O error numbers).
    {2, "File not found"},
    {3, "Path not found"},
    {4, "Too many open files"},
    {5, "File access denied"},
    {6, "Invalid file handle"},
    {8, "Insufficient memory"},
    {12, "Invalid file access code"},
    {15, "Invalid drive number"},
    {16, "Cannot remove current directory"},
    {17, "Cannot rename across drives"},
    {18, "No more files"},
    {100, "Disk read error"},
    {101, "Disk is full"},
    {102, "File not assigned"},
    {103, "File/device not open"},
    {104, "File not open for input"},
    {105, "File not open for output"},
    {106, "Invalid numeric format"},
    {150, "Disk is write-protected"},
    {151, "Unknown unit"},
    {152, "Drive not ready"},
    {153, "Unknown command"},
    {154, "CRC error in data"},
    {155, "Bad drive request structure length"},
    {156, "Disk seek error"},
    {157, "Unknown media type"},
    {158, "Sector not found"},
    {159, "Printer out of paper"},
    {160, "Device write fault"},
    {161, "Device read fault"},
    {162, "Hardware failure"},
    // Component errors.
    {1001, "Unexpected error"},
    {1002, "Bad argument passed to function"},
    {1005, "ComPort component not assigned"},
    // Port errors.
    {2001, "ie_BadId - Specified comport doesn't exist"},
    {2007, "ie_NOpen - device not open"},
    {2008, "ie_Open - device already open"},
    {2011, "The ComNumber property of the TCxComPort has not been set"},
    {2012, "Comport was not opened by Tapi"},
    // Device-layer errors.
    {3001, "No device layer specified"},
    {3006, "Output buffer too small for block"},
    {3007, "Buffer is empty"},
    // Trigger errors.
    {5001, "No more triggers available"},
    {5002, "Data trigger too long"},
    {5003, "Bad trigger handle"},
    // Protocol errors.
    {6005, "Cancel requested"},
    {6006, "Fatal time out"},
    {6007, "Unrecoverable event during protocol"},
    {6008, "Too many errors during protocol"},
    {6009, "Sequence error in protocol"},
    {6011, "File was rejected"},
    {6012, "Cant write file"},
    {6014, "Aborting due to carrier loss"},
    {6015, "Function not supported by protocol"},
    {6016, "Protocol aborted"},
    // Protocol status codes.
    {4700, "OK"},
    {4705, "File skipped"},
    {4706, "File doesn't exist locally, skipped"},
    {4707, "File skipped "},
    {4708, "Time out in protocol"},
    {4709, "Bad checksum or CRC"},
    {4710, "Block too long"},
    {4713, "Cancel requested"},
    {4714, "At end of file"},
    {4717, "Aborting on carrier loss"},
    {4718, "Got CrcE packet (Zmodem)"},
    {4719, "Got CrcG packet (Zmodem)"},
    {4720, "Got CrcW packet (Zmodem)"},
    {4721, "Got CrcQ packet (Zmodem)"},
    // Line-device errors: a line error n becomes 13800 + n.
    {13801, "TAPI line already allocated"},
    {13802, "Bad TAPI device id"},
    {13803, "Bearer mode unavailable"},
    {13805, "Call unavailable"},
    {13815, "TAPI line in use"},
    {13816, "Invalid address"},
    {13837, "Invalid dial parameters"},
    {13866, "No TAPI device"},
    {13867, "No TAPI driver"},
    {13868, "Not enough memory for TAPI"},
    {13872, "TAPI operation failed"},
    {13873, "TAPI operation unavailable"},
    {13875, "TAPI resource unavailable"},
    {13880, "TAPI not initialized"},
    {13882, "TAPI reinitializing"},
    {13928, "TAPI already open, dialing or answering"},
    {13929, "TapiMode not set in TCxComPort"},
    {13930, "No TAPI device selected"},
    {13931, "Failed to find/load TAPI.DLL"},
    {13932, "Failed to get TAPI address"},
    {13934, "Unexpected TAPI error"},
};

}  // namespace

std::string ErrorMsg(int code) {
    if (code == 0) return "OK";
    int key = std::abs(code);
    for (const ErrorText& e : kTexts)
        if (e.Code == key) return e.Text;
    return std::strerror(key);
}

}  // namespace qx

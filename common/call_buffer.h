// The two-call buffer protocol of the spooler's Get and Enum calls: ask with
// no buffer for the size, allocate a zeroed global-heap block of that size
// (and `slack` bytes more), ask again with the block.
#pragma once

#include "platform/win32.h"

enum class BufferStep {
    Read,         // `block` holds the answer
    SizeAnswered, // the size query itself succeeded: nothing to read
    SizeFailed,   // the size query failed with another error than "too small"
    NoMemory,     // the block could not be allocated
    ReadFailed,   // the second call failed
};

struct CallBuffer {
    BYTE* block;  // global heap, the caller's to free; null unless `step` is Read
    DWORD needed; // bytes the call asked for
    DWORD code;   // the failing call's own error (ERROR_SUCCESS when none failed)
    BufferStep step;
};

// `query(block, size, &needed)` makes the call and returns its BOOL. The
// second call is given `needed` as the size, the slack stays the caller's.
// `tooSmall`: the error that asks for a larger block (the service manager's
// is ERROR_MORE_DATA).
template <typename Query>
CallBuffer ReadCallBuffer(Query query, DWORD slack = 0,
                          DWORD tooSmall = ERROR_INSUFFICIENT_BUFFER) {
    CallBuffer result = {nullptr, 0, ERROR_SUCCESS, BufferStep::SizeAnswered};
    if (query(nullptr, 0, &result.needed))
        return result;
    result.code = GetLastError();
    if (result.code != tooSmall) {
        result.step = BufferStep::SizeFailed;
        return result;
    }
    // Counted in SIZE_T: a 32-bit sum could wrap to a block smaller than `needed`.
    SIZE_T bytes = static_cast<SIZE_T>(result.needed) + slack;
    BYTE* block = static_cast<BYTE*>(GlobalAlloc(GPTR, bytes));
    if (!block) {
        result.code = GetLastError();
        result.step = BufferStep::NoMemory;
        return result;
    }
    if (!query(block, result.needed, &result.needed)) {
        result.code = GetLastError();
        result.step = BufferStep::ReadFailed;
        GlobalFree(block);
        return result;
    }
    result.block = block;
    result.code = ERROR_SUCCESS;
    result.step = BufferStep::Read;
    return result;
}

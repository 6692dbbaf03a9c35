// Windows COM ports (\\.\COMn), opened for overlapped I/O.
//
// Every operation that can wait (a write, a read) is overlapped and waited
// for with a bound; when the bound passes, the I/O is cancelled and its
// completion collected before anything else touches the port, so no
// operation ever outlives its call and no buffer is written after it
// returned. Reads take what the driver holds at once (read interval time-out
// MAXDWORD, no total time-out). Line errors (framing, overrun) are cleared
// whenever the queue is sampled, so a glitch never blocks the port. A wait
// for bytes is an overlapped WaitCommEvent on EV_RXCHAR, bounded the same way.
#include <cerrno>
#include <string>

#include "platform/dosdevices.h"
#include "platform/serial_port.h"
#include "platform/win32_api.h"

namespace quorrel {

namespace {

constexpr DWORD kWriteTimeoutMs = 10000;
// A read of bytes the driver already holds completes at once; this only
// bounds a driver that would not.
constexpr DWORD kReadTimeoutMs = 1000;
// After CancelIo the cancelled operation completes promptly; a driver that
// does not within this time leaves the port unusable, and it is closed.
constexpr DWORD kCancelTimeoutMs = 2000;

// One overlapped operation with its own event.
class Overlapped {
 public:
  Overlapped() { ov_.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() {
    if (ov_.hEvent != nullptr) ::CloseHandle(ov_.hEvent);
  }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;

  bool Valid() const { return ov_.hEvent != nullptr; }
  OVERLAPPED* get() {
    ::ResetEvent(ov_.hEvent);
    ov_.Internal = ov_.InternalHigh = 0;
    ov_.Offset = ov_.OffsetHigh = 0;
    return &ov_;
  }

  // Waits for the operation started on handle; the bytes moved, or -1 when
  // it failed or did not end within timeoutMs (then it is cancelled and its
  // end awaited, so the caller's buffer is free again). *abandoned tells that
  // the cancellation itself never completed.
  long Finish(HANDLE handle, DWORD timeoutMs, bool* abandoned) {
    DWORD moved = 0;
    if (::WaitForSingleObject(ov_.hEvent, timeoutMs) == WAIT_OBJECT_0) {
      return ::GetOverlappedResult(handle, &ov_, &moved, FALSE) ? static_cast<long>(moved) : -1;
    }
    ::CancelIo(handle);
    if (::WaitForSingleObject(ov_.hEvent, kCancelTimeoutMs) != WAIT_OBJECT_0) {
      *abandoned = true;
      return -1;
    }
    ::GetOverlappedResult(handle, &ov_, &moved, FALSE);
    return -1;
  }

 private:
  OVERLAPPED ov_{};
};

class ComDevice : public SerialDevice {
 public:
  // canWait: the port reports received bytes as events (SetCommMask took).
  ComDevice(HANDLE handle, bool canWait) : handle_(handle), can_wait_(canWait) {}

  ~ComDevice() override {
    // Nothing is pending between calls, but a cancelled operation whose end
    // never came may still be; cancel before the handle goes.
    ::CancelIo(handle_);
    ::PurgeComm(handle_, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT);
    ::CloseHandle(handle_);
  }

  ComDevice(const ComDevice&) = delete;
  ComDevice& operator=(const ComDevice&) = delete;

  bool Ready() const { return write_.Valid() && read_.Valid(); }

  void Purge(bool input, bool output) override {
    DWORD flags = 0;
    if (input) flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    // Output: Write returns only once its operation completed, so what the
    // output queue holds belongs to writes already done; PURGE_TXCLEAR would
    // throw away bytes the device simply has not taken yet. Only a write
    // given up at its time-out leaves something to drop.
    if (output && write_abandoned_) {
      flags |= PURGE_TXABORT | PURGE_TXCLEAR;
      write_abandoned_ = false;
    }
    if (flags != 0) ::PurgeComm(handle_, flags);
    ClearErrors();
  }

  int Write(const uint8_t* data, int length) override {
    if (length <= 0 || data == nullptr || broken_) return 0;
    DWORD written = 0;
    OVERLAPPED* ov = write_.get();
    if (!::WriteFile(handle_, data, static_cast<DWORD>(length), &written, ov)) {
      if (::GetLastError() != ERROR_IO_PENDING) {
        ClearErrors();
        return 0;
      }
      long moved = write_.Finish(handle_, kWriteTimeoutMs, &broken_);
      if (moved < 0) {
        write_abandoned_ = true;
        ClearErrors();
        return 0;
      }
      written = static_cast<DWORD>(moved);
    } else {
      // Completed at once; the count is in the overlapped result.
      DWORD moved = 0;
      if (::GetOverlappedResult(handle_, ov, &moved, FALSE)) written = moved;
    }
    if (written != static_cast<DWORD>(length)) {
      write_abandoned_ = true;
      return 0;
    }
    return length;
  }

  int BytesQueued() override {
    COMSTAT status{};
    DWORD errors = 0;
    if (broken_) return 0;
    if (!::ClearCommError(handle_, &errors, &status)) {
      // A port whose device was removed fails every call from then on.
      NoteError(::GetLastError());
      return 0;
    }
    return static_cast<int>(status.cbInQue);
  }

  bool HungUp() override { return hung_up_; }

  bool WaitReadable(uint32_t realMs) override {
    if (!can_wait_ || !watch_.Valid() || broken_ || hung_up_) return false;
    if (BytesQueued() > 0) return true;
    OVERLAPPED* ov = watch_.get();
    if (::WaitCommEvent(handle_, &wait_mask_, ov)) return true;
    if (::GetLastError() != ERROR_IO_PENDING) {
      ClearErrors();
      return false;
    }
    // Bytes that came before the wait began raise no event: look once more
    // now that it is pending.
    if (BytesQueued() > 0) {
      watch_.Finish(handle_, 0, &broken_);
      return true;
    }
    // The end of the time without an event cancels the wait (Finish), and
    // it has blocked all the same.
    watch_.Finish(handle_, realMs, &broken_);
    return true;
  }

  int Read(uint8_t* buffer, int maxLength) override {
    if (buffer == nullptr || maxLength <= 0 || broken_) return 0;
    DWORD got = 0;
    OVERLAPPED* ov = read_.get();
    if (!::ReadFile(handle_, buffer, static_cast<DWORD>(maxLength), &got, ov)) {
      if (::GetLastError() != ERROR_IO_PENDING) {
        ClearErrors();
        return 0;
      }
      long moved = read_.Finish(handle_, kReadTimeoutMs, &broken_);
      if (moved < 0) {
        ClearErrors();
        return 0;
      }
      got = static_cast<DWORD>(moved);
    } else {
      DWORD moved = 0;
      if (::GetOverlappedResult(handle_, ov, &moved, FALSE)) got = moved;
    }
    return got <= static_cast<DWORD>(maxLength) ? static_cast<int>(got) : 0;
  }

 private:
  void ClearErrors() {
    DWORD errors = 0;
    if (!::ClearCommError(handle_, &errors, nullptr)) NoteError(::GetLastError());
  }
  void NoteError(DWORD error) {
    if (error == ERROR_BAD_COMMAND || error == ERROR_DEVICE_REMOVED ||
        error == ERROR_ACCESS_DENIED || error == ERROR_INVALID_HANDLE ||
        error == ERROR_GEN_FAILURE || error == ERROR_DEVICE_NOT_CONNECTED) {
      hung_up_ = true;
    }
  }

  HANDLE handle_;
  const bool can_wait_;
  Overlapped write_;
  Overlapped read_;
  Overlapped watch_;
  // Where a pending WaitCommEvent writes the events it saw: a member, as a
  // wait whose cancellation never completed may still write it.
  DWORD wait_mask_ = 0;
  bool write_abandoned_ = false;
  // The device went away under the open handle.
  bool hung_up_ = false;
  // An operation whose cancellation never completed: its buffer may still be
  // written by the driver, so the port takes no further I/O.
  bool broken_ = false;
};

// Closes the handle unless released.
class HandleGuard {
 public:
  explicit HandleGuard(HANDLE h) : h_(h) {}
  ~HandleGuard() {
    if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
  }
  HandleGuard(const HandleGuard&) = delete;
  HandleGuard& operator=(const HandleGuard&) = delete;
  HANDLE Release() {
    HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    return h;
  }

 private:
  HANDLE h_;
};

bool ValidSettings(int baudRate, int dataBits, int stopBits) {
  return baudRate > 0 && dataBits >= 5 && dataBits <= 8 && (stopBits == 1 || stopBits == 2);
}

class ComDevices : public SerialDevices {
 public:
  std::unique_ptr<SerialDevice> Open(int port, int baudRate, int dataBits, int stopBits) override {
    if (port < kFirstComPort || port > kLastComPort) return nullptr;
    if (!ValidSettings(baudRate, dataBits, stopBits)) return nullptr;

    const std::string path = ComPortPath(port).string();
    // No sharing: a port held by another program fails here.
    HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    HandleGuard guard(h);
    if (::GetFileType(h) != FILE_TYPE_CHAR) return nullptr;

    ::SetupComm(h, 4096, 4096);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(h, &dcb)) return nullptr;
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.ByteSize = static_cast<BYTE>(dataBits);
    dcb.Parity = NOPARITY;
    dcb.StopBits = stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(h, &dcb)) return nullptr;

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;  // with no total time-out: return at once
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    if (!::SetCommTimeouts(h, &timeouts)) return nullptr;

    // WaitReadable waits for received bytes; without the event it is left
    // to the caller's pacing.
    const bool canWait = ::SetCommMask(h, EV_RXCHAR) != 0;

    DWORD errors = 0;
    ::ClearCommError(h, &errors, nullptr);
    ::PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);

    auto device = std::make_unique<ComDevice>(guard.Release(), canWait);
    if (!device->Ready()) return nullptr;
    return device;
  }
};

}  // namespace

SerialDevices& SystemSerialDevices() {
  static ComDevices devices;
  return devices;
}

// Windows has no tty nodes: its modems' ports are COM ports.
std::unique_ptr<SerialDevice> OpenSerialPath(const std::filesystem::path&, int, int* error) {
  if (error != nullptr) *error = ENOSYS;
  return nullptr;
}

}  // namespace quorrel

// The device page's creation, dialog procedure and commands. The rich edit
// 1.0 class of the log view is registered by RICHED32.DLL, which the main
// window loads. Everything here runs on the UI thread; only Save log parks
// the worker.
#include "ui/device_page.h"

#include <commdlg.h>
#include <richedit.h>

#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "log/log_queue.h"
#include "session/device_record.h"
#include "session/link_worker.h"
#include "session/target_session.h"
#include "ui/device_list.h"
#include "ui/log_find.h"
#include "ui/log_menu.h"
#include "ui/log_view.h"
#include "ui/main_window.h"
#include "ui/resource.h"

namespace {

// The page's tooltip window lives in a window property from WM_INITDIALOG
// to WM_DESTROY: the DeviceRecord is not attached yet when it is made.
const char kTooltipProperty[] = "TavdeskTooltips";

const TooltipEntry kTooltips[] = {
    {IDC_SAVE_LOG, "Save protocol to file"},
    {IDC_CLEAR_LOG, "Clear protocol"},
    {IDC_EXECUTE, "Execute file on target"},
    {IDC_RESET, "Reset target"},
    {0, nullptr},
};

const char kExecuteFilter[] =
    "ELF-File (*.ELF)\0*.ELF\0IOP-File (*.IOP;*.IRX)\0*.IOP;*.IRX\0All Files (*.*)\0*.*\0";
const char kSaveFilter[] = "Text (*.TXT)\0*.TXT\0Rich Text (*.RTF; *.DOC)\0*.RTF;*.DOC\0";
// The timer that carries on a flush cut short.
constexpr UINT_PTR kFlushTimer = 1;

constexpr DWORD kTextFilter = 1;
constexpr DWORD kRichTextFilter = 2;

void LogNoticeLine(HWND page, const char* text) { AppendLogText(page, text, LogNotice); }

// A page removed under one of its dialogs has no one left to tell.
void Fail(HWND page, const char* text) {
  if (!IsWindow(page)) return;
  AppendLogText(page, text, LogError);
  PlayNotifySound(NotifySound::Error);
}

// The starting folder of both file dialogs while no file was executed yet.
const char* InitialFolder(const char* lastFile, char* folder) {
  if (lastFile[0]) return nullptr;
  CopySharedFolder(folder, kPathChars);
  return folder;
}

// The last executed file without its extension; a '.' in a folder name is
// no extension.
void DefaultSaveName(const DeviceRecord* record, char* name) {
  name[0] = '\0';
  if (!record) return;
  lstrcpynA(name, record->lastFile, kPathChars);
  char* dot = std::strrchr(name, '.');
  char* slash = std::strrchr(name, '\\');
  if (dot && (!slash || dot > slash)) *dot = '\0';
}

bool StreamLog(HWND page, HANDLE file, DWORD filterIndex) {
  const WPARAM format = filterIndex == kTextFilter ? SF_TEXT : SF_RTFNOOBJS | SFF_PLAINRTF;
  EDITSTREAM stream = {reinterpret_cast<DWORD_PTR>(file), 0, WriteLogChunk};
  if (!PauseWorker()) return false;
  EnterSharedLock();
  FlushLog(page);
  SendDlgItemMessageA(page, IDC_LOG_VIEW, EM_STREAMOUT, format, reinterpret_cast<LPARAM>(&stream));
  LeaveSharedLock();
  ResumeWorker();
  return stream.dwError == 0;
}

BOOL DevicePage_OnInitDialog(HWND page) {
  SetPropA(page, kTooltipProperty, CreateTooltips(page, kTooltips));
  SendDlgItemMessageA(page, IDC_LOG_VIEW, EM_SETBKGNDCOLOR, 0, GetSysColor(COLOR_INACTIVEBORDER));
  SendDlgItemMessageA(page, IDC_LOG_VIEW, EM_EXLIMITTEXT, 0, kLogViewTextLimit);
  return TRUE;
}

void DevicePage_OnDestroy(HWND page) {
  CloseLogFind(page);
  ReleaseLogView(page);
  HWND tooltips = static_cast<HWND>(RemovePropA(page, kTooltipProperty));
  if (IsWindow(tooltips)) DestroyWindow(tooltips);
}

void DevicePage_OnClose(HWND page) {
  PlayNotifySound(RemoveDevice(page) ? NotifySound::DeviceRemoved : NotifySound::Error);
}

void ReportExecute(HWND page, bool queued) {
  if (queued)
    LogNoticeLine(page, "Send execute command.\r\n");
  else
    Fail(page, "Execute failed.\r\n");
}

// Queues a copy of the record's last file, which stays the record's.
bool QueueLastFile(HWND page, const DeviceRecord* record) {
  const size_t length = std::strlen(record->lastFile);
  char* path = static_cast<char*>(std::malloc(length + 1));
  if (!path) return false;
  std::memcpy(path, record->lastFile, length + 1);
  if (QueueExecute(page, path)) return true;
  std::free(path);
  return false;
}

void DevicePage_OnCommand(HWND page, int id) {
  switch (id) {
    case IDC_EXECUTE:
      ReportExecute(page, ExecuteDialog(page));
      break;
    case IDC_SAVE_LOG:
      if (!SaveLog(page)) Fail(page, "Save log failed.\r\n");
      break;
    case IDC_RESET:
      ResetConsole(page);
      break;
    case IDC_CLEAR_LOG:
      if (!ClearLogView(page)) Fail(page, "Clear log failed.\r\n");
      break;
  }
}

void DevicePage_OnDropFiles(HWND page, HDROP drop) {
  LogNoticeLine(page, "Eat dropped file.\r\n");
  if (DropFile(page, drop))
    LogNoticeLine(page, "Send execute command.\r\n");
  else
    Fail(page, "Execute failed.\r\n");
}

void DevicePage_OnConnection(HWND page, bool connected) {
  EnableWindow(GetDlgItem(page, IDC_EXECUTE), connected);
  EnableWindow(GetDlgItem(page, IDC_RESET), connected);
}

// The next notice may come as soon as this one is taken: entries that
// arrive during the flush then get one of their own. A flush draws for at
// most a slice of time; when entries are left, a timer (which Windows hands
// out only after input and painting) carries on, and the worker sends no
// notice meanwhile, so that a console flooding the log cannot freeze the
// window.
void DevicePage_OnFlush(HWND page) {
  KillTimer(page, kFlushTimer);  // first, so that a page without its record stops ticking
  DeviceRecord* record = PageRecord(page);
  if (!record) return;
  record->flushPending.store(0);
  bool more = false;
  if (FlushLogFor(page, kLogStepMs, &more) && more) {
    // Without the timer the worker's next notice has to carry on instead.
    record->flushPending.store(SetTimer(page, kFlushTimer, USER_TIMER_MINIMUM, nullptr) ? 1 : 0);
  }
}

// Queues the drop's one file; the caller finishes the drop.
bool QueueDroppedFile(HWND page, HDROP drop) {
  if (DragQueryFileA(drop, 0xFFFFFFFF, nullptr, 0) != 1) return false;
  char* name = static_cast<char*>(std::calloc(kPathChars, 1));
  if (!name) return false;
  DragQueryFileA(drop, 0, name, kPathChars);
  if (QueueExecute(page, name)) return true;
  std::free(name);
  return false;
}

}  // namespace

HWND CreateDevicePage(HWND parent) {
  if (!LoadRichEditLibrary()) return nullptr;
  return CreateDialogParamA(ProgramInstance, MAKEINTRESOURCEA(IDD_DEVICE_PAGE), parent,
                            DevicePageProc, 0);
}

INT_PTR CALLBACK DevicePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return DevicePage_OnInitDialog(page);
    case WM_DESTROY:
      DevicePage_OnDestroy(page);
      return FALSE;
    case WM_CLOSE:
      DevicePage_OnClose(page);
      return TRUE;
    case WM_COMMAND:
      if (LogMenu_OnCommand(page, LOWORD(wParam))) return TRUE;
      if (LOWORD(wParam) < IDC_EXECUTE || LOWORD(wParam) > IDC_CLEAR_LOG) return FALSE;
      DevicePage_OnCommand(page, LOWORD(wParam));
      return TRUE;
    case WM_DROPFILES:
      DevicePage_OnDropFiles(page, reinterpret_cast<HDROP>(wParam));
      return TRUE;
    case WM_PAGE_CONNECTION:
      DevicePage_OnConnection(page, wParam != 0);
      return TRUE;
    case WM_PAGE_FLUSH:
      DevicePage_OnFlush(page);
      return TRUE;
    case WM_TIMER:
      if (wParam != kFlushTimer) return FALSE;
      DevicePage_OnFlush(page);
      return TRUE;
    case WM_CONTEXTMENU:
      if (reinterpret_cast<HWND>(wParam) != GetDlgItem(page, IDC_LOG_VIEW)) return FALSE;
      ShowLogMenu(page, lParam);
      return TRUE;
  }
  return LogFindNotice(page, message, lParam) ? TRUE : FALSE;
}

// Both file dialogs run a message loop of their own, in which an unplug can
// remove the device: no record is held across one, and a page found gone
// afterwards ends the command.
bool ExecuteDialog(HWND page) {
  DeviceRecord* record = PageRecord(page);
  if (!record || !record->session) return false;
  char file[kPathChars];
  char folder[kPathChars];
  lstrcpynA(file, record->lastFile, kPathChars);
  OPENFILENAMEA dialog = {};
  dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  dialog.hwndOwner = page;
  dialog.lpstrFilter = kExecuteFilter;
  dialog.nFilterIndex = 0;
  dialog.lpstrFile = file;
  dialog.nMaxFile = kPathChars;
  dialog.lpstrInitialDir = InitialFolder(file, folder);
  dialog.lpstrTitle = "Execute file...";
  dialog.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  if (!GetOpenFileNameA(&dialog) || !(record = PageRecord(page))) return false;
  std::memcpy(record->lastFile, file, kPathChars);
  return QueueLastFile(page, record);
}

bool ExecuteFile(HWND page, const char* path) {
  DeviceRecord* record = PageRecord(page);
  const bool queued = record && record->session && std::strlen(path) < kPathChars &&
                      lstrcpynA(record->lastFile, path, kPathChars) &&
                      QueueLastFile(page, record);
  ReportExecute(page, queued);
  return queued;
}

bool ResetConsole(HWND page) {
  if (!QueueReset(page)) {
    Fail(page, "Reset failed.\r\n");
    return false;
  }
  EnableWindow(GetDlgItem(page, IDC_RESET), FALSE);
  LogNoticeLine(page, "Send reset command.\r\n");
  return true;
}

bool DropFile(HWND page, HDROP drop) {
  const bool queued = QueueDroppedFile(page, drop);
  DragFinish(drop);
  return queued;
}

bool SaveLog(HWND page) {
  if (!WorkerThread) return false;
  const DeviceRecord* record = PageRecord(page);
  char name[kPathChars];
  char folder[kPathChars];
  DefaultSaveName(record, name);
  OPENFILENAMEA dialog = {};
  dialog.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
  dialog.hwndOwner = page;
  dialog.lpstrFilter = kSaveFilter;
  dialog.nFilterIndex = 0;
  dialog.lpstrFile = name;
  dialog.nMaxFile = kPathChars;
  dialog.lpstrInitialDir = InitialFolder(record ? record->lastFile : "", folder);
  dialog.lpstrTitle = "Save log...";
  dialog.Flags = OFN_HIDEREADONLY | OFN_NOCHANGEDIR;
  // A cancel is no failure; a dialog that could not do its work is.
  if (!GetSaveFileNameA(&dialog)) return CommDlgExtendedError() == 0;
  if (!PageRecord(page)) return false;

  if (!AddSaveExtension(name, sizeof name, dialog.nFilterIndex)) return false;
  HANDLE file = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_ARCHIVE, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool written = StreamLog(page, file, dialog.nFilterIndex);
  CloseHandle(file);
  return written;
}

// The file name of a path: what follows the last separator, found by
// characters, so that the trail byte 0x5C of a double-byte character does
// not count as one.
static const char* FileNamePart(const char* path) {
  const char* name = path;
  for (const char* p = path; *p; p = CharNextA(p)) {
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  }
  return name;
}

// Only a '.' in the file name is an extension: one in a folder name (the
// offered name of a program in "v1.2") would otherwise leave the name bare,
// and saving would overwrite the program itself.
bool AddSaveExtension(char* path, size_t size, DWORD filterIndex) {
  if (std::strchr(FileNamePart(path), '.')) return true;
  const char* extension = filterIndex == kTextFilter       ? ".TXT"
                          : filterIndex == kRichTextFilter ? ".RTF"
                                                           : "";
  const size_t length = strnlen(path, size);
  if (length + std::strlen(extension) >= size) return false;
  std::strcpy(path + length, extension);
  return true;
}

DWORD CALLBACK WriteLogChunk(DWORD_PTR cookie, LPBYTE bytes, LONG count, LONG* written) {
  DWORD done = 0;
  const BOOL ok = WriteFile(reinterpret_cast<HANDLE>(cookie), bytes, static_cast<DWORD>(count),
                            &done, nullptr);
  *written = static_cast<LONG>(done);
  return ok && done == static_cast<DWORD>(count) ? 0 : 1;
}

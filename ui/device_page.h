// The device page: one child dialog (template 106) per cable, holding the
// cable's coloured log view and its command buttons. The page window is the
// key by which the rest of the program reaches the device.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstddef>

#include "session/link_worker.h"  // the notices a page handles

// Creates the page from template 106 as a child of `parent`, with no
// DeviceRecord attached yet. None when the rich edit control or the dialog
// cannot be had.
HWND CreateDevicePage(HWND parent);

INT_PTR CALLBACK DevicePageProc(HWND page, UINT message, WPARAM wParam, LPARAM lParam);

// The commands behind the page's buttons and drops; each is false on
// failure, and the page logs and sounds the failure.
// The open-file dialog on the record's last file, then an execute command.
bool ExecuteDialog(HWND page);
// Execute with the file already chosen (the command line's): the path
// becomes the record's last file, as the dialog leaves it, and is queued,
// logged and sounded as the button does it.
bool ExecuteFile(HWND page, const char* path);
// The Reset button's command, its log line, sound and button state included.
bool ResetConsole(HWND page);
// Queues the one file of a drop for execution; any other number of files
// fails. The drop is finished on every path.
bool DropFile(HWND page, HDROP drop);
// The save-file dialog, then the whole log as plain or rich text by the
// chosen filter. A cancelled dialog is no failure.
bool SaveLog(HWND page);

// Save log's extension rule: a path whose file name has no '.' gets ".TXT" for
// filter 1 and ".RTF" for filter 2. False, with the path untouched, when the
// extension would not fit in `size` characters with the terminator.
bool AddSaveExtension(char* path, size_t size, DWORD filterIndex);
// The EM_STREAMOUT callback of Save log: writes to the file handle in
// `cookie`; 1 (stop, and fail the stream) unless every byte was written.
DWORD CALLBACK WriteLogChunk(DWORD_PTR cookie, LPBYTE bytes, LONG count, LONG* written);

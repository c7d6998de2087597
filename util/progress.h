// The single progress report "[%3d%%/%5lldMBytes] %dms\r" of media writes and uploads.
#pragma once

int qrx_progress_info_init(long long total, const char* title, int start_percent, int end_percent);
// `offset` is the device's offset of the data, or -1 when unknown.
int qrx_progress_info_update(int bytes, long long offset);
// Ends the report of a stream that succeeded: its last line shows the end figure even when the
// throttle or unknown offsets held it back. Nothing is printed for a report that printed nothing.
void qrx_progress_info_finish();
// Forgets the report in progress, as at the start of the process.
void qrx_progress_info_reset();

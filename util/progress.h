// The single progress report "[%3d%%/%5lldMBytes] %dms\r" of media writes and uploads.
#pragma once

int qrx_progress_info_init(long long total, const char* title, int start_percent, int end_percent);
// `offset` is the device's offset of the data, or -1 when unknown.
int qrx_progress_info_update(int bytes, long long offset);

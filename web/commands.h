#ifndef WEB_COMMANDS_H_
#define WEB_COMMANDS_H_

// One handler per command of stream_admin. Each reads its own form fields,
// does its work through the library and writes its whole response to cgiOut.

// Form field sizes, terminating NUL included, as the web page has always
// been served: a value keeps at most size - 1 bytes.
inline constexpr unsigned kCmdFieldSize = 128;
inline constexpr unsigned kFieldSize = 256;
inline constexpr unsigned kPageFieldSize = 4;
inline constexpr unsigned kRandomizedFieldSize = 2;
inline constexpr unsigned kTotalFieldSize = 32;
inline constexpr unsigned kFolderFieldSize = 512;
// A folder name has at most 255 bytes; one byte more tells a longer filter.
inline constexpr unsigned kFilterFieldSize = 257;

// Query commands.
void handle_get();
void handle_playlist_name();
void handle_modify_info();
void handle_is_playlist_full();
void handle_is_active_full();
void handle_has_playlist_name();

// The playlist table.
void handle_playlist_table();

// Changing commands.
void handle_set();
void handle_playlist_new();
void handle_playlist_del();
void handle_playlist_enable();
void handle_playlist_disable();
void handle_playlist_renew();

// Streams as they run, and following the music folders.
void handle_status();
void handle_playlist_rescan();

// Adds a name the page may be opened by to the device's names.
void handle_allow_host();

// Browsing the music folders to pick a playlist's folders.
void handle_folders();

#endif  // WEB_COMMANDS_H_

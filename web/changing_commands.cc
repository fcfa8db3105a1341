#include "web/commands.h"

void handle_set() {}
void handle_playlist_new() {}
void handle_playlist_del() {}
void handle_playlist_enable() {}
void handle_playlist_disable() {}
void handle_playlist_renew() {}

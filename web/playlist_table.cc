#include "web/commands.h"

void handle_playlist_table() {}

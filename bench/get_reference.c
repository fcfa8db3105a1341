/* The yardstick for a GUI_ice_get request: a static C program that writes the
 * same response bytes and does nothing else. */
#include <stdio.h>

int main(void) {
  fputs("Pragma: no-cache\r\nCache-Control: no-cache\r\nContent-type: text/xml\r\n\r\n"
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<config><res>1</res><port>8010</port></config>",
        stdout);
  return 0;
}

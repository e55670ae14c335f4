// The component's two non-ASCII console literals, in the console's own
// character set: Shift-JIS on Windows, UTF-8 elsewhere.
#ifndef TOLVARINE_COMPONENT_CONSOLE_TEXT_H
#define TOLVARINE_COMPONENT_CONSOLE_TEXT_H

#if defined(_WIN32)
#define TOLVARINE_TEXT_CONNECTION_COM \
  "* \x90\xda\x91\xb1"                \
  "COM:"
#define TOLVARINE_TEXT_THETA "\x83\xc6:"
#else
#define TOLVARINE_TEXT_CONNECTION_COM \
  "* \xe6\x8e\xa5\xe7\xb6\x9a"        \
  "COM:"
#define TOLVARINE_TEXT_THETA "\xce\xb8:"
#endif

#endif  // TOLVARINE_COMPONENT_CONSOLE_TEXT_H

// Asks an X window to close as a window manager's close button does, with a WM_DELETE_WINDOW client
// message (killing the client's connection, as some tools do, tests something else).  usage: close_window WID
#include <X11/Xlib.h>

#include <cstdlib>

int main(int argc, char** argv) {
  Display* display = argc == 2 ? XOpenDisplay(nullptr) : nullptr;
  if (!display) return 2;
  XEvent event{};
  event.xclient.type = ClientMessage;
  event.xclient.window = std::strtoul(argv[1], nullptr, 0);
  event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
  event.xclient.format = 32;
  event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
  const Status sent = XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
  XCloseDisplay(display);  // which sends what is queued first
  return sent ? 0 : 1;
}

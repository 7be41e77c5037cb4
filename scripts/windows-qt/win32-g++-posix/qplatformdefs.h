// Same platform definitions as the win32-g++ mkspec this one varies.
#include "../win32-g++/qplatformdefs.h"

// Placeholder: the board model is being written.
#include "platform/serial/virtual/vboard.h"

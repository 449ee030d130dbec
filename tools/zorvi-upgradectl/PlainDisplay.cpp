#include "PlainDisplay.h"

void PlainDisplay::notification(const ServiceMessage& message) { writeLine(message.describe()); }

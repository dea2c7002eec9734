#pragma once

#include <QLoggingCategory>

// The window's diagnostic output (replies, frames, port events): off unless switched on with
// QT_LOGGING_RULES="pelmar.link.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcLink)

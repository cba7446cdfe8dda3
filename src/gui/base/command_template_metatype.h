#pragma once

// A command with its macro values filled travels between pages as a whole,
// so that no value is ever split into more than one argument.

#include <QMetaType>

#include "core/command/external_command.h"

Q_DECLARE_METATYPE(harlune::CommandTemplate)

#pragma once
// Set-up shared by the orvane commands.

#include "cli_commands.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// Adds the settings' images and --image files; false (after printing why) when an image
// cannot be used.
bool add_cli_images(const cli_options_s& options);
void print_line(const QString& line);
void print_json(const QJsonObject& object);
void print_table(const QList<QStringList>& rows);

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
// A table printed row by row, for listings too long to hold: widen() every row first, then
// print_row() each. The first column is padded to at most first_column_cap characters; a
// longer cell is followed by two spaces only.
constexpr int first_column_cap = 120;
// Cells are shown with control characters escaped (\n, \t, \x1b, \\ for a backslash,
// \u202e for direction overrides and lone surrogates): a name read from a disk cannot
// forge a row or move the terminal's cursor. --json output gives names exactly.
QString table_cell(const QString& text);
void widen_table(QList<int>* widths, const QStringList& row);
void print_table_row(const QStringList& row, const QList<int>& widths);

#pragma once

#include <QStringList>

class QTranslator;

// ".", ".." and the Qt installation's translations directory, searched in this order.
QStringList translationDirs();

// Loads the translation file name from the first directory that yields it.
bool loadTranslator(QTranslator *translator, const QStringList &dirs, const QString &name);

#pragma once

#include <QString>

#include "platform/registry/WinReg.h"

namespace quillet {

QString GetRegistryString(winreg::HKEY root, const QString& keyPath, const QString& valueName,
                          const QString& defaultValue);
void SaveRegistryString(winreg::HKEY root, const QString& keyPath, const QString& valueName,
                        const QString& text, const QString& defaultValue);
bool RegistryKeyExists(winreg::HKEY root, const QString& keyPath);
winreg::LONG QueryStringValue(winreg::HKEY key, const QString& valueName, QString& text);
QString TrimAtNull(const QString& text);

}  // namespace quillet

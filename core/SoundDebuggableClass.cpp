#include "SoundDebuggableClass.h"

#include <iostream>

bool SoundDebuggableClass::sVerbose = false;
bool SoundDebuggableClass::sDebug = false;
std::ostream* SoundDebuggableClass::sOStream = &std::cout;

SoundDebuggableClass& SoundDebuggableClass::operator=(const SoundDebuggableClass& other)
{
    if (this != &other)
        errorText = other.errorText;
    return *this;
}

const char* SoundDebuggableClass::getError() const
{
    return errorText.c_str();
}

void SoundDebuggableClass::setError(const char* message, const char* context)
{
    if (message == nullptr)
        return;
    if (context != nullptr) {
        errorText = context;
        errorText += " : ";
    } else {
        errorText.clear();
    }
    errorText += (*message != '\0') ? message : "Unknown system error.";
}

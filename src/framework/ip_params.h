// Settings by name: a procedure that has a dialogue also describes its values, so that a
// program can read and change them without answering the dialogue line by line.
#pragma once

#include <string>
#include <vector>

#include "framework/ip_base.h"

enum class ip_paramType { integer, boolean, real };

struct ip_paramInfo {
    const char* name;  // the dialogue's own name for the value
    ip_paramType type;
    double lowest;  // allowed range, both ends included
    double highest;
    double defaultValue;
    const char* help;  // one line of English
};

class ip_parameters {
public:
    virtual int paramCount() const = 0;
    virtual const ip_paramInfo& paramInfo(int index) const = 0;
    virtual double paramValue(int index) const = 0;
    // Stores a value that ip_setParam has already checked against paramInfo(index).
    virtual void storeParam(int index, double value) = 0;
    // Why `value` cannot go with the other values now (e.g. a low threshold above the
    // high one), or "" when it can.
    virtual std::string paramConflict(int index, double value) const {
        (void)index;
        (void)value;
        return "";
    }

protected:
    ~ip_parameters() = default;
};

// Index of the value called `name`, or -1.
int ip_findParam(const ip_parameters& params, const char* name);

// Why `value` does not fit the value's type or range, or "" when it does.
std::string ip_checkParam(const ip_paramInfo& info, double value);

// Checks `value` against the value's type and range and stores it. Returns false and
// leaves every value as it was when the name is unknown or the value is refused;
// `message` then says why.
bool ip_setParam(ip_parameters& params, const char* name, double value, std::string& message);

// As ip_setParam, with the value written as text ("12", "0.5", "1", "true").
bool ip_setParamText(ip_parameters& params, const char* name, const char* text, std::string& message);

// The value as the dialogue would print it (integers without a fraction).
std::string ip_formatParam(const ip_paramInfo& info, double value);

// Runs the procedure's own dialogue with `replies`, one per prompt, discarding what it
// writes. Named changes go through it so that they have exactly the dialogue's effects.
void ip_answerDialogue(ip_base& procedure, const std::vector<std::string>& replies);

// One reply line: the values separated by spaces, reals with enough digits to read
// back the same single-precision number.
std::string ip_replyLine(const ip_paramInfo* infos, const double* values, int count);

// The procedure's values, or null when it has none.
ip_parameters* ip_paramsOf(ip_base* procedure);

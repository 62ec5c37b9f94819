// decimal_option.h - numeric option values whose word must be written in
// decimal digits before the options library converts it.
#ifndef MAIL_POSTFIX_DECIMAL_OPTION_H
#define MAIL_POSTFIX_DECIMAL_OPTION_H

#include <string>
#include <typeinfo>
#include <vector>

#include <boost/any.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/program_options/errors.hpp>
#include <boost/program_options/value_semantic.hpp>
#include <boost/throw_exception.hpp>

namespace ostra {
namespace mail {
namespace postfix {
namespace mxadmin_commands {

// isDecimalWord - one optional "+" or "-", then one or more ASCII digits, and
// nothing else: the words the numeric conversion can accept.
bool isDecimalWord(const std::string& word);

// DecimalValue - an option value of type T whose word is refused unless it is
// a decimal word. Boost's conversion to a 16-bit number multiplies a byte's
// distance from '0' before it checks that the byte is a digit, which overflows
// int for bytes above 127; checking first keeps such words away from it. A
// refused word fails exactly as the conversion would have failed.
template <class T> class DecimalValue : public boost::program_options::typed_value<T> {
public:
    // A type the options library converts itself: refused as an invalid value.
    DecimalValue() : boost::program_options::typed_value<T>(nullptr), convertedTo_(nullptr) {}
    // A type whose own validate converts the word to convertedTo: refused as
    // that conversion's error.
    explicit DecimalValue(const std::type_info& convertedTo)
        : boost::program_options::typed_value<T>(nullptr), convertedTo_(&convertedTo)
    {
    }

    // xparse - check the word, then convert it as the plain value type does.
    void xparse(boost::any& store, const std::vector<std::string>& tokens) const override
    {
        // A repeated option or a missing word is the plain value type's to report.
        if (store.empty() && tokens.size() == 1 && !isDecimalWord(tokens.front())) {
            if (convertedTo_ != nullptr)
                boost::throw_exception(boost::bad_lexical_cast(typeid(std::string), *convertedTo_));
            boost::throw_exception(boost::program_options::invalid_option_value(tokens.front()));
        }
        boost::program_options::typed_value<T>::xparse(store, tokens);
    }

private:
    const std::type_info* convertedTo_;
};

// decimalValue - the value of an option of a numeric type the options library
// converts (short, long long); the description takes ownership.
template <class T> DecimalValue<T>* decimalValue()
{
    return new DecimalValue<T>();
}

// decimalValueVia - the value of an option of type T whose validate converts the
// word to the number type Number; the description takes ownership.
template <class T, class Number> DecimalValue<T>* decimalValueVia()
{
    return new DecimalValue<T>(typeid(Number));
}

} // namespace mxadmin_commands
} // namespace postfix
} // namespace mail
} // namespace ostra

#endif

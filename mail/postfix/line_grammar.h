// line_grammar.h - small grammars and actions shared by line-oriented file grammars.
#ifndef MAIL_POSTFIX_LINE_GRAMMAR_H
#define MAIL_POSTFIX_LINE_GRAMMAR_H

#include <boost/spirit/include/classic_chset.hpp>
#include <boost/spirit/include/classic_core.hpp>

namespace ostra {
namespace parser {

namespace sc = boost::spirit::classic;

// The single characters of a line-oriented file.
const sc::chlit<char> lf_p('\n');
const sc::chlit<char> cr_p('\r');
const sc::chlit<char> sp_p(' ');
const sc::chlit<char> tab_p('\t');
// swsp_p - a blank: tab, space or carriage return.
const sc::chset<char> swsp_p("\t \r");

// comments_parser - "#" and the rest of the physical line, its newline excluded.
struct comments_parser : sc::grammar<comments_parser> {
    comments_parser() {}
    template <class ScannerT> struct definition {
        explicit definition(const comments_parser&)
        {
            start_ = sc::ch_p('#') >> *(sc::anychar_p - lf_p);
        }
        const sc::rule<ScannerT>& start() const { return start_; }
        sc::rule<ScannerT> start_;
    };
};

// empty_line_parser - a line of nothing but blanks, possibly none.
struct empty_line_parser : sc::grammar<empty_line_parser> {
    empty_line_parser() {}
    template <class ScannerT> struct definition {
        explicit definition(const empty_line_parser&) { start_ = *swsp_p; }
        const sc::rule<ScannerT>& start() const { return start_; }
        sc::rule<ScannerT> start_;
    };
};

const comments_parser comments_p;
const empty_line_parser empty_line_p;

// comments_line_parser - blanks, then a comment.
struct comments_line_parser : sc::grammar<comments_line_parser> {
    comments_line_parser() {}
    template <class ScannerT> struct definition {
        explicit definition(const comments_line_parser&) { start_ = empty_line_p >> comments_p; }
        const sc::rule<ScannerT>& start() const { return start_; }
        sc::rule<ScannerT> start_;
    };
};

// continuous_spaces_parser - the gap between two fields: blanks and a comment, then
// optionally a newline, whole blank or comment lines, and the blanks that open a
// continuation line. It may be empty.
struct continuous_spaces_parser : sc::grammar<continuous_spaces_parser> {
    continuous_spaces_parser() {}
    template <class ScannerT> struct definition {
        explicit definition(const continuous_spaces_parser&)
        {
            start_ =
                *swsp_p >> !comments_p >> !(lf_p >> *(*swsp_p >> !comments_p >> lf_p) >> +swsp_p);
        }
        const sc::rule<ScannerT>& start() const { return start_; }
        sc::rule<ScannerT> start_;
    };
};

const comments_line_parser comments_line_p;
const continuous_spaces_parser continuous_spaces_p;

// WordAppender - appends the matched text to a list of strings.
template <class List> struct WordAppender {
    explicit WordAppender(List& list) : list_(list) {}
    template <class Iterator> void operator()(Iterator first, Iterator last) const
    {
        list_.push_back(typename List::value_type(first, last));
    }
    List& list_;
};

// ConstAssigner - stores a fixed value into a field when its sub-rule matches.
template <class T> struct ConstAssigner {
    ConstAssigner(T& field, const T& value) : field_(field), value_(value) {}
    template <class Attribute> void operator()(const Attribute&) const { field_ = value_; }
    template <class Iterator> void operator()(Iterator, Iterator) const { field_ = value_; }
    T& field_;
    T value_;
};

} // namespace parser
} // namespace ostra

#endif

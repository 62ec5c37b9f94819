// mastercf_parser.h - the grammar of the service table file.
#ifndef MAIL_POSTFIX_MASTERCF_PARSER_H
#define MAIL_POSTFIX_MASTERCF_PARSER_H

#include <cstdint>
#include <string>

#include "mail/postfix/line_grammar.h"
#include "mail/postfix/mastercf.h"

namespace ostra {
namespace mail {
namespace postfix {

// MasterCfModuleAppender - hands a matched entry, decoded and as text, to the content.
struct MasterCfModuleAppender {
    MasterCfModuleAppender(MasterCfContent& content, const ModuleInfo& record)
        : content_(content), record_(record)
    {
    }
    template <class Iterator> void operator()(Iterator first, Iterator last) const
    {
        content_.addModule(record_, std::string(first, last));
    }
    MasterCfContent& content_;
    const ModuleInfo& record_;
};

// MasterCfRawAppender - hands a matched comment or blank line to the content.
struct MasterCfRawAppender {
    explicit MasterCfRawAppender(MasterCfContent& content) : content_(content) {}
    template <class Iterator> void operator()(Iterator first, Iterator last) const
    {
        content_.appendLine(std::string(first, last));
    }
    MasterCfContent& content_;
};

namespace mastercf_actions {

// RecordReset - starts every entry from a fresh record.
struct RecordReset {
    explicit RecordReset(ModuleInfo& record) : record_(record) {}
    template <class Iterator> void operator()(Iterator, Iterator) const { record_ = ModuleInfo(); }
    ModuleInfo& record_;
};

// TextAssigner - stores the matched text into a string field.
struct TextAssigner {
    explicit TextAssigner(std::string& field) : field_(field) {}
    template <class Iterator> void operator()(Iterator first, Iterator last) const
    {
        field_.assign(first, last);
    }
    std::string& field_;
};

// NumberAssigner - stores an unsigned 32-bit number into a signed field.
struct NumberAssigner {
    explicit NumberAssigner(std::int32_t& field) : field_(field) {}
    void operator()(std::uint32_t value) const { field_ = static_cast<std::int32_t>(value); }
    std::int32_t& field_;
};

} // namespace mastercf_actions

// MasterCfParser - fills a content from a whole file; the caller requires a full match.
class MasterCfParser : public boost::spirit::classic::grammar<MasterCfParser> {
public:
    explicit MasterCfParser(MasterCfContent& content) : content_(content) {}

    template <class ScannerT> struct definition {
        explicit definition(const MasterCfParser& self);
        const boost::spirit::classic::rule<ScannerT>& start() const { return file; }

        boost::spirit::classic::rule<ScannerT> file, line, entry, name, type, isPrivate,
            unprivileged, chroot, wakeup, maxproc, command, word, gap;
    };

    MasterCfContent& content_;
    // The entry being decoded; the actions write into it.
    mutable ModuleInfo record_;
};

template <class ScannerT>
MasterCfParser::definition<ScannerT>::definition(const MasterCfParser& self)
{
    namespace sc = boost::spirit::classic;
    using namespace ostra::parser;
    using namespace mastercf_actions;
    typedef boost::logic::tribool Tri;
    ModuleInfo& r = self.record_;

    typedef sc::range<char> Range;
    sc::chset<char> nameChars;
    nameChars.set(Range('a', 'z'));
    nameChars.set(Range('0', '9'));
    for (char c : {'-', '_', ':', '.'})
        nameChars.set(Range(c, c));
    sc::chset<char> wordChars;
    wordChars.set(Range('\x21', '\x7e'));
    wordChars.clear(Range('#', '#'));
    const sc::uint_parser<std::uint32_t, 10, 1, -1> number_p;

    gap = continuous_spaces_p;
    name = (+nameChars)[TextAssigner(r.name)];
    // "unix-dgram" first: ordered choice would otherwise stop at "unix".
    type = sc::str_p("unix-dgram")[ConstAssigner<ModuleType>(r.type, ModuleType::unixDgram)] |
           sc::str_p("inet")[ConstAssigner<ModuleType>(r.type, ModuleType::inet)] |
           sc::str_p("unix")[ConstAssigner<ModuleType>(r.type, ModuleType::unix)] |
           sc::str_p("fifo")[ConstAssigner<ModuleType>(r.type, ModuleType::fifo)];
    isPrivate = sc::ch_p('y')[ConstAssigner<Tri>(r.isPrivate, true)] |
                sc::ch_p('n')[ConstAssigner<Tri>(r.isPrivate, false)] | sc::ch_p('-');
    unprivileged = sc::ch_p('y')[ConstAssigner<Tri>(r.unprivileged, true)] |
                   sc::ch_p('n')[ConstAssigner<Tri>(r.unprivileged, false)] | sc::ch_p('-');
    chroot = sc::ch_p('y')[ConstAssigner<Tri>(r.chroot, true)] |
             sc::ch_p('n')[ConstAssigner<Tri>(r.chroot, false)] | sc::ch_p('-');
    wakeup = sc::ch_p('-') | (number_p[NumberAssigner(r.wakeup)] >>
                              !sc::ch_p('?')[ConstAssigner<bool>(r.wakeupOnUse, true)]);
    maxproc = sc::ch_p('-') | number_p[NumberAssigner(r.maxproc)];
    word = +wordChars;
    command = word[WordAppender<std::vector<std::string>>(r.command)] >>
              *(gap >> word[WordAppender<std::vector<std::string>>(r.command)]);
    entry = sc::eps_p[RecordReset(r)] >> name >> gap >> type >> gap >> isPrivate >> gap >>
            unprivileged >> gap >> chroot >> gap >> wakeup >> gap >> maxproc >> gap >> command >>
            *swsp_p;
    line = entry[MasterCfModuleAppender(self.content_, r)] |
           comments_line_p[MasterCfRawAppender(self.content_)] |
           empty_line_p[MasterCfRawAppender(self.content_)];
    // A final newline ends the last line instead of opening an empty one.
    file = sc::end_p | (line >> *(lf_p >> (sc::end_p | line)));
}

} // namespace postfix
} // namespace mail
} // namespace ostra

#endif

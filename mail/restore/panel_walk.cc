// panel_walk.cc - four queries over the panel database, merged by domain.
#include "mail/restore/panel_walk.h"

#include <stdlib.h>

#include <vector>

#include "ostra/panel_db.h"

namespace ostra {
namespace mail {
namespace restore {

namespace {

// RowStream - the rows of one query read as the server sends them, on a
// connection of its own: the mail names of a large panel are never all held.
class RowStream {
public:
    explicit RowStream(const std::string& query) : query_(query), conn_(true), res_(nullptr)
    {
        if (mysql_real_query(conn_.get(), query.data(), query.size()) != 0 ||
            (res_ = mysql_use_result(conn_.get())) == nullptr)
            throw mysql::mError(conn_.get(), query);
        advance();
    }
    ~RowStream()
    {
        if (res_ != nullptr)
            mysql_free_result(res_);
    }
    RowStream(const RowStream&) = delete;
    RowStream& operator=(const RowStream&) = delete;

    // atEnd - whether every row has been read.
    bool atEnd() const { return row_ == nullptr; }
    // id - a numeric column of the current row (an id; NULL reads as 0).
    unsigned long long id(unsigned int column) const
    {
        return row_[column] != nullptr ? strtoull(row_[column], nullptr, 10) : 0;
    }
    // text - a text column of the current row ("" for NULL).
    std::string text(unsigned int column) const
    {
        return row_[column] != nullptr ? std::string(row_[column], lengths_[column])
                                       : std::string();
    }
    // advance - the next row; a failed fetch is an error, not the end.
    void advance()
    {
        row_ = mysql_fetch_row(res_);
        if (row_ == nullptr && mysql_errno(conn_.get()) != 0)
            throw mysql::mError(conn_.get(), query_);
        lengths_ = row_ != nullptr ? mysql_fetch_lengths(res_) : nullptr;
    }

private:
    std::string query_;
    mysql::Connection conn_;
    MYSQL_RES* res_;
    MYSQL_ROW row_ = nullptr;
    unsigned long* lengths_ = nullptr;
};

// IdDomain - a domain with the panel's id, which the other queries refer to.
struct IdDomain {
    unsigned long long id;
    PanelDomain domain;
};

} // namespace

// walkPanel - domains and alias domains are few and held; mail names and
// mail aliases come in domain order and are merged in as they arrive.
void walkPanel(PanelVisitor& visitor, const std::string& onlyDomain)
{
    mysql::Connection conn(true);
    const std::string where =
        onlyDomain.empty() ? std::string() : " WHERE d.name='" + conn.escape(onlyDomain) + "'";
    const std::string join = " JOIN domains d ON d.id = ";

    std::vector<IdDomain> domains;
    mysql::Result rows = conn.query(
        "SELECT d.id, d.name, l.value FROM domains d LEFT JOIN Limits l ON l.id = d.limits_id"
        " AND l.limit_name = 'mbox_quota'" +
        where + " ORDER BY d.id");
    while (rows.next())
        domains.push_back(
            {strtoull(rows.value(0u).c_str(), nullptr, 10), {rows.value(1u), rows.value(2u)}});
    mysql::Result aliases = conn.query("SELECT da.dom_id, da.name FROM domainaliases da" + join +
                                       "da.dom_id" + where + " ORDER BY da.dom_id, da.id");
    bool moreAliases = aliases.next();

    RowStream names("SELECT m.dom_id, m.id, m.mail_name, m.mbox_quota FROM mail m" + join +
                    "m.dom_id" + where + " ORDER BY m.dom_id, m.id");
    RowStream mailAliases("SELECT m.dom_id, m.id, ma.alias FROM mail_aliases ma"
                          " JOIN mail m ON m.id = ma.mn_id" +
                          join + "m.dom_id" + where + " ORDER BY m.dom_id, m.id, ma.id");

    for (const IdDomain& d : domains) {
        visitor.domain(d.domain);
        for (; moreAliases && strtoull(aliases.value(0u).c_str(), nullptr, 10) <= d.id;
             moreAliases = aliases.next())
            if (strtoull(aliases.value(0u).c_str(), nullptr, 10) == d.id)
                visitor.aliasDomain(d.domain, aliases.value(1u));
        for (; !names.atEnd() && names.id(0) <= d.id; names.advance()) {
            if (names.id(0) < d.id)
                continue;
            const unsigned long long mailId = names.id(1);
            const PanelMailname m{names.text(2), names.text(3)};
            visitor.mailname(d.domain, m);
            // Mail aliases of mail names that no domain row owns are passed over.
            for (; !mailAliases.atEnd() &&
                   (mailAliases.id(0) < d.id ||
                    (mailAliases.id(0) == d.id && mailAliases.id(1) <= mailId));
                 mailAliases.advance())
                if (mailAliases.id(0) == d.id && mailAliases.id(1) == mailId)
                    visitor.mailAlias(d.domain, m, mailAliases.text(2));
        }
        visitor.domainEnd(d.domain);
    }
}

} // namespace restore
} // namespace mail
} // namespace ostra

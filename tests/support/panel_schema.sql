-- panel_schema.sql - the part of the control panel's database that mxadmin
-- reads, for the sandbox's private server (loaded into database hsp).
-- No foreign keys: fixtures may hold the dangling rows a real panel can have.

CREATE TABLE domains (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
    name VARCHAR(255) NOT NULL,
    limits_id INT UNSIGNED NULL,
    UNIQUE KEY (name)
);

CREATE TABLE domainaliases (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
    name VARCHAR(255) NOT NULL,
    dom_id INT UNSIGNED NOT NULL,
    UNIQUE KEY (name),
    KEY (dom_id)
);

-- mbox_quota is text: a real panel may hold values that are not numbers.
CREATE TABLE mail (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
    mail_name VARCHAR(245) NOT NULL,
    dom_id INT UNSIGNED NOT NULL,
    mbox_quota VARCHAR(255) NOT NULL DEFAULT '-1',
    UNIQUE KEY (dom_id, mail_name)
);

CREATE TABLE mail_aliases (
    id INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY,
    mn_id INT UNSIGNED NOT NULL,
    alias VARCHAR(245) NOT NULL,
    UNIQUE KEY (mn_id, alias)
);

-- One limit set per id, referenced by domains.limits_id; value is text for
-- the same reason as mail.mbox_quota, and long enough for oversized values.
CREATE TABLE Limits (
    id INT UNSIGNED NOT NULL,
    limit_name VARCHAR(255) NOT NULL,
    value TEXT NOT NULL,
    PRIMARY KEY (id, limit_name)
);

CREATE TABLE misc (
    param VARCHAR(255) NOT NULL PRIMARY KEY,
    val VARCHAR(255) NOT NULL
);

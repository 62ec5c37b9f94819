// values.h - syntactic checks of the values that reach lookup tables, main.cf
// and configuration files.
#ifndef OSTRA_VALUES_H
#define OSTRA_VALUES_H

// domain_name_ok - 1 when name is a domain name in ASCII form: labels of
// letters, digits and hyphens joined by single dots; 0 otherwise.
int domain_name_ok(const char* name);

// table_word_ok - 1 when text can stand as one lookup table key or value and
// as one element of a main.cf list: no blank, comma or control character
// (the empty text passes); 0 otherwise.
int table_word_ok(const char* text);

// ipv4_address_ok - 1 when text is one IPv4 address in dotted-quad form.
int ipv4_address_ok(const char* text);

// config_line_ok - 1 when text holds no control character, so that it stays
// one value on one line of a configuration file.
int config_line_ok(const char* text);

#endif

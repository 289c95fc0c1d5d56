#!/usr/bin/env python3
"""Writes LanguageTable.cpp, the language table of the media-type helpers.

Run once by hand (python3 foundation/make_language_table.py) when the table
has to change; the written file is committed, so the build needs neither
this script nor the iso-codes package. English names come from Debian's
iso-codes (ISO 639-2); the rows follow the fixed code order below: the
ISO 639-2 list in the order of the English names, bibliographic codes before
terminology codes, one row per ordering of a language's alternative names
where the list has several, and the later additions at the end.
"""

import json
import os
import sys

ISO_639_2 = '/usr/share/iso-codes/json/iso_639-2.json'

CODES = [
    'abk', 'ace', 'ach', 'ada', 'aar', 'afh', 'afr', 'afa', 'aka', 'akk', 'alb', 'sqi', 'ale',
    'alg', 'tut', 'amh', 'apa', 'ara', 'arg', 'arc', 'arp', 'arn', 'arw', 'arm', 'hye', 'art',
    'asm', 'ast', 'ath', 'aus', 'map', 'ava', 'ave', 'awa', 'aym', 'aze', 'ast', 'ban', 'bat',
    'bal', 'bam', 'bai', 'bad', 'bnt', 'bas', 'bak', 'baq', 'eus', 'btk', 'bej', 'bel', 'bem',
    'ben', 'ber', 'bho', 'bih', 'bik', 'bin', 'bis', 'nob', 'bos', 'bra', 'bre', 'bug', 'bul',
    'bua', 'bur', 'mya', 'cad', 'car', 'spa', 'cat', 'cau', 'ceb', 'cel', 'cai', 'chg', 'cmc',
    'cha', 'che', 'chr', 'nya', 'chy', 'chb', 'nya', 'chi', 'zho', 'chn', 'chp', 'cho', 'zha',
    'chu', 'chu', 'chu', 'chu', 'chu', 'chk', 'chv', 'cop', 'cor', 'cos', 'cre', 'mus', 'crp',
    'cpe', 'cpf', 'cpp', 'scr', 'hrv', 'cus', 'cze', 'ces', 'dak', 'dan', 'dar', 'day', 'del',
    'din', 'div', 'doi', 'dgr', 'dra', 'dua', 'dut', 'nld', 'dum', 'dyu', 'dzo', 'efi', 'egy',
    'eka', 'elx', 'eng', 'enm', 'ang', 'epo', 'est', 'ewe', 'ewo', 'fan', 'fat', 'fao', 'fij',
    'fin', 'fiu', 'dut', 'nld', 'fon', 'fre', 'fra', 'frm', 'fro', 'fry', 'fur', 'ful', 'gaa',
    'gla', 'glg', 'lug', 'gay', 'gba', 'gez', 'geo', 'kat', 'ger', 'deu', 'nds', 'gmh', 'goh',
    'gem', 'kik', 'gil', 'gon', 'gor', 'got', 'grb', 'grc', 'gre', 'ell', 'kal', 'grn', 'guj',
    'gwi', 'hai', 'hau', 'haw', 'heb', 'her', 'hil', 'him', 'hin', 'hmo', 'hit', 'hmn', 'hun',
    'hup', 'iba', 'ice', 'isl', 'ido', 'ibo', 'ijo', 'ilo', 'smn', 'inc', 'ine', 'ind', 'inh',
    'ina', 'ile', 'iku', 'ipk', 'ira', 'gle', 'mga', 'sga', 'iro', 'ita', 'jpn', 'jav', 'jrb',
    'jpr', 'kbd', 'kab', 'kac', 'kal', 'kam', 'kan', 'kau', 'kaa', 'kar', 'kas', 'kaw', 'kaz',
    'kha', 'khm', 'khi', 'kho', 'kik', 'kmb', 'kin', 'kir', 'kom', 'kon', 'kok', 'kor', 'kos',
    'kpe', 'kro', 'kua', 'kum', 'kur', 'kru', 'kut', 'kua', 'lad', 'lah', 'lam', 'lao', 'lat',
    'lav', 'ltz', 'lez', 'lim', 'lim', 'lim', 'lin', 'lit', 'nds', 'nds', 'loz', 'lub', 'lua',
    'lui', 'smj', 'lun', 'luo', 'lus', 'ltz', 'mac', 'mkd', 'mad', 'mag', 'mai', 'mak', 'mlg',
    'may', 'msa', 'mal', 'mlt', 'mnc', 'mdr', 'man', 'mni', 'mno', 'glv', 'mao', 'mri', 'mar',
    'chm', 'mah', 'mwr', 'mas', 'myn', 'men', 'mic', 'min', 'mis', 'moh', 'mol', 'mkh', 'lol',
    'mon', 'mos', 'mul', 'mun', 'nah', 'nau', 'nav', 'nav', 'nde', 'nbl', 'ndo', 'nap', 'nep',
    'new', 'nia', 'nic', 'ssa', 'niu', 'non', 'nai', 'sme', 'nde', 'nor', 'nob', 'nno', 'nub',
    'nym', 'nya', 'nyn', 'nno', 'nyo', 'nzi', 'oci', 'oji', 'chu', 'ori', 'orm', 'osa', 'oss',
    'oss', 'oto', 'pal', 'pau', 'pli', 'pam', 'pag', 'pan', 'pap', 'paa', 'per', 'fas', 'peo',
    'phi', 'phn', 'pon', 'pol', 'por', 'pra', 'oci', 'pro', 'pus', 'que', 'roh', 'raj', 'rap',
    'rar', 'qaa-qtz', 'roa', 'rum', 'ron', 'rom', 'run', 'rus', 'sal', 'sam', 'smi', 'smo', 'sad',
    'sag', 'san', 'sat', 'srd', 'sas', 'nds', 'sco', 'gla', 'sel', 'sem', 'scc', 'srp', 'srr',
    'shn', 'sna', 'iii', 'sid', 'sgn', 'bla', 'snd', 'sin', 'sit', 'sio', 'sms', 'den', 'sla',
    'slo', 'slk', 'slv', 'sog', 'som', 'son', 'snk', 'wen', 'nso', 'sot', 'sai', 'sma', 'nbl',
    'spa', 'suk', 'sux', 'sun', 'sus', 'swa', 'ssw', 'swe', 'syr', 'tgl', 'tah', 'tai', 'tgk',
    'tmh', 'tam', 'tat', 'tel', 'ter', 'tet', 'tha', 'tib', 'bod', 'tig', 'tir', 'tem', 'tiv',
    'tli', 'tpi', 'tkl', 'tog', 'ton', 'tsi', 'tso', 'tsn', 'tum', 'tup', 'tur', 'ota', 'tuk',
    'tvl', 'tyv', 'twi', 'uga', 'uig', 'ukr', 'umb', 'und', 'urd', 'uzb', 'vai', 'ven', 'vie',
    'vol', 'vot', 'wak', 'wal', 'wln', 'war', 'was', 'wel', 'cym', 'wol', 'xho', 'sah', 'yao',
    'yap', 'yid', 'yor', 'ypk', 'znd', 'zap', 'zen', 'zha', 'zul', 'zun', 'nwc', 'tlh', 'byn',
    'jbo', 'dsb', 'hsb', 'csb', 'crh', 'myv', 'mdf', 'krc', 'ady', 'udm', 'dar', 'inh', 'nog',
    'hat', 'xal',
]

# The number of later additions at the end of the list; they keep their
# language's first name.
LATE_ADDITIONS = 18

# Codes the current list no longer carries.
RETIRED = {
    'scc': ('Serbian', 'sr'),
    'scr': ('Croatian', 'hr'),
    'mol': ('Moldavian', 'mo'),
}


def load():
    with open(ISO_639_2, encoding='utf-8') as f:
        entries = json.load(f)['639-2']
    table = {}
    for e in entries:
        names = [n.strip() for n in e['name'].split(';')]
        value = (names, e.get('alpha_2', ''))
        table[e['alpha_3']] = value
        if 'bibliographic' in e:
            table[e['bibliographic']] = value
    for code, (name, alpha2) in RETIRED.items():
        table.setdefault(code, ([name], alpha2))
    return table


def main():
    if len(CODES) != 522:
        sys.exit('expected 522 codes, have %d' % len(CODES))
    table = load()
    missing = sorted({c for c in CODES if c not in table})
    if missing:
        sys.exit('no names for: ' + ', '.join(missing))

    rows = []
    used = {}
    previous = ''
    for i, code in enumerate(CODES):
        names, alpha2 = table[code]
        if i >= len(CODES) - LATE_ADDITIONS:
            first = names[0]
        else:
            # The alphabetical run: the name that sorts next after the row
            # before, preferring one not used by an earlier row of the code.
            taken = used.setdefault(code, set())
            key = previous.lower()
            fits = sorted((n for n in names if n.lower() >= key), key=str.lower)
            fresh = [n for n in fits if n not in taken]
            unused = [n for n in names if n not in taken]
            first = (fresh or unused or fits or names)[0]
            taken.add(first)
            previous = first
        ordered = [first] + [n for n in names if n != first]
        rows.append(('; '.join(ordered), code, alpha2))

    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'LanguageTable.cpp')
    with open(out, 'w', encoding='utf-8') as f:
        f.write('// Written by make_language_table.py from the iso-codes list; do not edit.\n')
        f.write('#include "foundation/Languages.h"\n\n')
        f.write('const LanguageRow g_languageTable[] = {\n')
        for name, code, alpha2 in rows:
            f.write('    {"%s", "%s", "%s"},\n' % (name.replace('"', '\\"'), code, alpha2))
        f.write('    {"", "", ""},\n')
        f.write('};\n\n')
        f.write('const size_t g_languageTableRows = sizeof(g_languageTable) / sizeof(g_languageTable[0]);\n')
    multi = sum(1 for r in rows if ';' in r[0])
    two = sum(1 for r in rows if r[2])
    print('%d rows, %d with several names, %d with a two-letter code' % (len(rows), multi, two))


if __name__ == '__main__':
    main()

#include "pg/library.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "sqlite/functions.h"

namespace kelvor::pg {

namespace {

// The library. Run-time errors are raised as "kelvor runtime error N" (the SQLite side's
// prefix), so both engines report them alike. Functions are IMMUTABLE where they depend on
// their arguments alone, so that PostgreSQL may fold them; none is STRICT where the engine's
// answer for a Null differs from Null.
const char* const kLibrary = R"SQL(
CREATE SCHEMA IF NOT EXISTS kelvor;
-- Columns depend on the collation: it is made once and never replaced.
CREATE COLLATION IF NOT EXISTS kelvor.kelvor_text (provider = icu, locale = 'und-u-ks-level2', deterministic = false);
CREATE TABLE IF NOT EXISTS kelvor.library (version integer NOT NULL);
-- Currency arithmetic checks each result against the type's range by a cast to this domain:
-- the executor tests a domain's constraint without entering a function, which a rule's
-- sums, six checks per row, would otherwise do. The constraint's name says "overflow".
DO $$
BEGIN
  IF to_regtype('kelvor.kv_currency') IS NULL THEN
    CREATE DOMAIN kelvor.kv_currency AS numeric CONSTRAINT kv_currency_range
      CHECK (VALUE >= -922337203685477.5808 AND VALUE <= 922337203685477.5807);
  END IF;
END $$;
GRANT USAGE ON SCHEMA kelvor TO PUBLIC;
GRANT SELECT ON kelvor.library TO PUBLIC;

-- An older library's functions go first: a function whose arguments or result changed
-- cannot be replaced in place. Nothing outside the schema depends on them.
DO $$
DECLARE r record;
BEGIN
  FOR r IN SELECT p.oid::regprocedure AS f, p.prokind FROM pg_proc p
           WHERE p.pronamespace = 'kelvor'::regnamespace ORDER BY p.prokind = 'a' DESC LOOP
    EXECUTE CASE WHEN r.prokind = 'a' THEN 'DROP AGGREGATE IF EXISTS ' ELSE 'DROP FUNCTION IF EXISTS ' END
            || r.f::text || ' CASCADE';
  END LOOP;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_fail(n integer) RETURNS void LANGUAGE plpgsql AS $$
BEGIN RAISE EXCEPTION 'kelvor runtime error %', n; END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_raise(n integer, t anyelement) RETURNS anyelement
LANGUAGE plpgsql AS $$ BEGIN PERFORM kelvor.kv_fail(n); RETURN t; END $$;

-- Case folded for Like and InStr: ICU's lower case of the root locale, with a final sigma as
-- any other (the SQLite side folds each character with ICU's case folding; the two differ only
-- where a lower case takes more than one character, as for a dotted capital I).
CREATE OR REPLACE FUNCTION kelvor.kv_fold(s text) RETURNS text LANGUAGE sql IMMUTABLE STRICT AS
$$ SELECT translate(lower(s COLLATE "und-x-icu"), 'ς', 'σ') $$;

CREATE OR REPLACE FUNCTION kelvor.kv_concat(a text, b text) RETURNS text LANGUAGE sql IMMUTABLE AS
$$ SELECT CASE WHEN a IS NULL AND b IS NULL THEN NULL ELSE coalesce(a, '') || coalesce(b, '') END $$;

-- A Like pattern (* ? # [list] [!list] [a-z]) as a regular expression; NULL for a list that
-- is never closed, which matches nothing.
CREATE OR REPLACE FUNCTION kelvor.kv_like_regex(p text) RETURNS text LANGUAGE plpgsql IMMUTABLE STRICT AS $$
DECLARE q text COLLATE "C" := p; r text COLLATE "C" := '^'; i integer := 1;
        n integer := length(p); c text COLLATE "C"; j integer; body text COLLATE "C";
BEGIN
  WHILE i <= n LOOP
    c := substr(q, i, 1);
    IF c = '*' THEN r := r || '.*';
    ELSIF c = '?' THEN r := r || '.';
    ELSIF c = '#' THEN r := r || '[0-9]';
    ELSIF c = '[' THEN
      j := strpos(substr(q, i + 1), ']');
      IF j = 0 THEN RETURN NULL; END IF;
      body := substr(q, i + 1, j - 1);
      IF body = '' OR body = '!' THEN
        r := r || CASE WHEN body = '' THEN '(?!)' ELSE '.' END;
      ELSE
        IF left(body, 1) = '!' THEN body := '^' || substr(body, 2); END IF;
        body := replace(replace(body, '\', '\\'), '[', '\[');
        r := r || '[' || body || ']';
      END IF;
      i := i + j;
    ELSIF c ~ '[\\^$.|+(){}\]]' THEN r := r || '\' || c;
    ELSE r := r || c;
    END IF;
    i := i + 1;
  END LOOP;
  RETURN r || '$';
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_like(s text, p text) RETURNS boolean LANGUAGE sql IMMUTABLE AS $$
SELECT CASE WHEN s IS NULL OR p IS NULL THEN NULL
            WHEN kelvor.kv_like_regex(kelvor.kv_fold(p)) IS NULL THEN false
            ELSE kelvor.kv_fold(s) COLLATE "C" ~ ('(?s)' || kelvor.kv_like_regex(kelvor.kv_fold(p))) END $$;

-- ---- numbers -------------------------------------------------------------------------
CREATE OR REPLACE FUNCTION kelvor.kv_div(a double precision, b double precision) RETURNS double precision
LANGUAGE plpgsql IMMUTABLE STRICT AS $$
DECLARE r double precision;
BEGIN
  IF b = 0 THEN PERFORM kelvor.kv_fail(11); END IF;
  r := a / b;
  RETURN r;
EXCEPTION WHEN numeric_value_out_of_range THEN PERFORM kelvor.kv_fail(6); RETURN NULL;
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_div(a numeric, b numeric) RETURNS double precision
LANGUAGE sql IMMUTABLE STRICT AS $$ SELECT kelvor.kv_div(a::double precision, b::double precision) $$;

CREATE OR REPLACE FUNCTION kelvor.kv_idiv(a bigint, b bigint) RETURNS bigint LANGUAGE plpgsql IMMUTABLE STRICT AS $$
BEGIN
  IF b = 0 THEN PERFORM kelvor.kv_fail(11); END IF;
  IF b = -1 THEN RETURN -a; END IF;
  RETURN a / b;
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_mod(a bigint, b bigint) RETURNS bigint LANGUAGE plpgsql IMMUTABLE STRICT AS $$
BEGIN
  IF b = 0 THEN PERFORM kelvor.kv_fail(11); END IF;
  IF b = -1 THEN RETURN 0; END IF;
  RETURN a % b;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_pow(a double precision, b double precision) RETURNS double precision
LANGUAGE plpgsql IMMUTABLE STRICT AS $$
BEGIN
  IF a < 0 AND b <> trunc(b) THEN PERFORM kelvor.kv_fail(5); END IF;
  IF a = 0 AND b < 0 THEN PERFORM kelvor.kv_fail(6); END IF;
  RETURN power(a, b);
EXCEPTION WHEN numeric_value_out_of_range THEN PERFORM kelvor.kv_fail(6); RETURN NULL;
END $$;

-- Whole numbers round half to even, as the runtime rounds.
CREATE OR REPLACE FUNCTION kelvor.kv_even(d double precision) RETURNS double precision
LANGUAGE sql IMMUTABLE STRICT AS $$
SELECT CASE WHEN abs(d - trunc(d)) = 0.5 THEN 2 * round(d / 2) ELSE round(d) END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_even(d numeric) RETURNS numeric
LANGUAGE sql IMMUTABLE STRICT AS $$
SELECT CASE WHEN abs(d - trunc(d)) = 0.5 THEN 2 * round(d / 2) ELSE round(d) END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_cround(d double precision) RETURNS bigint LANGUAGE plpgsql IMMUTABLE STRICT AS $$
DECLARE r double precision := kelvor.kv_even(d);
BEGIN
  IF NOT (r >= -9.2233720368547758e18 AND r <= 9.2233720368547748e18) THEN PERFORM kelvor.kv_fail(6); END IF;
  RETURN r::bigint;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_range(x double precision, lo bigint, hi bigint) RETURNS bigint
LANGUAGE plpgsql IMMUTABLE AS $$
DECLARE r bigint;
BEGIN
  IF x IS NULL THEN RETURN NULL; END IF;
  r := kelvor.kv_cround(x);
  IF r < lo OR r > hi THEN PERFORM kelvor.kv_fail(6); END IF;
  RETURN r;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_curchk(x numeric) RETURNS numeric LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF x < -922337203685477.5808 OR x > 922337203685477.5807 THEN PERFORM kelvor.kv_fail(6); END IF;
  RETURN x;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_ccur(d double precision) RETURNS numeric LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF d IS NULL THEN RETURN NULL; END IF;
  IF d = 'NaN' OR d = 'Infinity' OR d = '-Infinity' THEN PERFORM kelvor.kv_fail(6); END IF;
  RETURN kelvor.kv_curchk(kelvor.kv_even((d * 10000)::numeric) / 10000);
END $$;

-- Text read as a number as the engine reads it: a point as decimal separator, blanks around.
CREATE OR REPLACE FUNCTION kelvor.kv_cdbl(s text) RETURNS double precision LANGUAGE plpgsql IMMUTABLE AS $$
DECLARE t text COLLATE "C" := btrim(s);
BEGIN
  IF s IS NULL THEN RETURN NULL; END IF;
  IF t ~* '^(true|false)$' THEN RETURN CASE WHEN lower(t) = 'true' THEN -1 ELSE 0 END; END IF;
  IF t !~ '^[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eEdD][+-]?[0-9]+)?$' THEN PERFORM kelvor.kv_fail(3464); END IF;
  RETURN translate(t, 'dD', 'ee')::double precision;
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_ccur(s text) RETURNS numeric LANGUAGE sql IMMUTABLE AS
$$ SELECT kelvor.kv_ccur(kelvor.kv_cdbl(s)) $$;
CREATE OR REPLACE FUNCTION kelvor.kv_cbool(s text) RETURNS integer LANGUAGE sql IMMUTABLE AS
$$ SELECT CASE WHEN kelvor.kv_cdbl(s) <> 0 THEN -1 WHEN s IS NULL THEN NULL ELSE 0 END $$;

-- Stored values: what does not fit the column is "Numeric field overflow".
CREATE OR REPLACE FUNCTION kelvor.kv_fitnum(d double precision) RETURNS numeric LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF d IS NULL THEN RETURN NULL; END IF;
  IF d = 'NaN' OR d = 'Infinity' OR d = '-Infinity' THEN PERFORM kelvor.kv_fail(3349); END IF;
  RETURN d::numeric;
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_fit(x numeric, lo bigint, hi bigint) RETURNS bigint LANGUAGE plpgsql IMMUTABLE AS $$
DECLARE r numeric;
BEGIN
  IF x IS NULL THEN RETURN NULL; END IF;
  r := kelvor.kv_even(x);
  IF r < lo OR r > hi THEN PERFORM kelvor.kv_fail(3349); END IF;
  RETURN r::bigint;
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_fitcur(x numeric) RETURNS numeric LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF x IS NULL THEN RETURN NULL; END IF;
  x := kelvor.kv_even(x * 10000) / 10000;
  IF x < -922337203685477.5808 OR x > 922337203685477.5807 THEN PERFORM kelvor.kv_fail(3349); END IF;
  RETURN x;
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_fitdouble(d double precision) RETURNS double precision LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF d = 'NaN' OR d = 'Infinity' OR d = '-Infinity' THEN PERFORM kelvor.kv_fail(3349); END IF;
  RETURN d;
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_fitsingle(d double precision) RETURNS real LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF NOT (abs(d) <= 3.4028234663852886e38) THEN PERFORM kelvor.kv_fail(3349); END IF;
  RETURN d::real;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_round(x double precision, places bigint) RETURNS double precision
LANGUAGE sql IMMUTABLE STRICT AS $$ SELECT kelvor.kv_even(x * 10.0 ^ places) / 10.0 ^ places $$;
CREATE OR REPLACE FUNCTION kelvor.kv_round(x numeric, places bigint) RETURNS numeric
LANGUAGE sql IMMUTABLE STRICT AS $$ SELECT kelvor.kv_even(x * 10.0 ^ places) / 10.0 ^ places $$;

-- ---- text of values ------------------------------------------------------------------
-- A Double as the layer writes it: 15 significant digits, no ".0" on whole numbers.
CREATE OR REPLACE FUNCTION kelvor.kv_text(d double precision) RETURNS text LANGUAGE sql IMMUTABLE STRICT
SET extra_float_digits = 0 AS $$ SELECT d::text $$;
CREATE OR REPLACE FUNCTION kelvor.kv_curtext(x numeric) RETURNS text LANGUAGE sql IMMUTABLE STRICT AS
$$ SELECT trim_scale(x)::text $$;
CREATE OR REPLACE FUNCTION kelvor.kv_datetext(t timestamp) RETURNS text LANGUAGE sql IMMUTABLE STRICT AS
$$ SELECT to_char(t, 'YYYY-MM-DD HH24:MI:SS') $$;
CREATE OR REPLACE FUNCTION kelvor.kv_str(d double precision) RETURNS text LANGUAGE sql IMMUTABLE STRICT AS $$
SELECT CASE WHEN d < 0 THEN regexp_replace(kelvor.kv_text(d), '^-0\.', '-.')
            ELSE ' ' || regexp_replace(kelvor.kv_text(d), '^0\.', '.') END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_hex(d double precision) RETURNS text LANGUAGE sql IMMUTABLE STRICT AS $$
SELECT upper(to_hex(CASE WHEN r < 0 THEN r + 4294967296 ELSE r END))
FROM (SELECT kelvor.kv_range(d, -2147483648, 4294967295) AS r) AS x $$;

-- ---- dates ---------------------------------------------------------------------------
CREATE OR REPLACE FUNCTION kelvor.kv_serial(t timestamp) RETURNS double precision LANGUAGE sql IMMUTABLE STRICT AS
$$ SELECT extract(epoch FROM (t - TIMESTAMP '1899-12-30'))::double precision / 86400 $$;
CREATE OR REPLACE FUNCTION kelvor.kv_days(d double precision) RETURNS interval LANGUAGE sql IMMUTABLE STRICT AS
$$ SELECT make_interval(secs => round(d * 86400)) $$;
CREATE OR REPLACE FUNCTION kelvor.kv_datechk(t timestamp) RETURNS timestamp LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF t < TIMESTAMP '0100-01-01' OR t > TIMESTAMP '9999-12-31 23:59:59' THEN PERFORM kelvor.kv_fail(6); END IF;
  RETURN t;
EXCEPTION WHEN datetime_field_overflow THEN PERFORM kelvor.kv_fail(6); RETURN NULL;
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_fromserial(d double precision) RETURNS timestamp LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF d IS NULL THEN RETURN NULL; END IF;
  IF NOT (d BETWEEN -657434 AND 2958465.99999) THEN PERFORM kelvor.kv_fail(6); END IF;
  RETURN TIMESTAMP '1899-12-30' + kelvor.kv_days(d);
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_cdate(v text) RETURNS timestamp LANGUAGE plpgsql STABLE AS $$
DECLARE m text[]; s text COLLATE "C" := btrim(v);
BEGIN
  IF s IS NULL THEN RETURN NULL; END IF;
  IF s ~ '^[+-]?[0-9.]+$' THEN RETURN kelvor.kv_fromserial(s::double precision); END IF;
  m := regexp_match(s, '^(\d{1,2})/(\d{1,2})/(\d{2}|\d{4})(?:\s+(.*))?$');
  IF m IS NOT NULL THEN
    IF length(m[3]) = 2 THEN m[3] := (CASE WHEN m[3]::int < 30 THEN 2000 ELSE 1900 END + m[3]::int)::text; END IF;
    RETURN make_timestamp(m[3]::int, m[1]::int, m[2]::int, 0, 0, 0) + coalesce(m[4]::time, '00:00')::interval;
  END IF;
  RETURN s::timestamp(0);
EXCEPTION WHEN OTHERS THEN
  IF SQLERRM LIKE 'kelvor runtime error%' THEN RAISE; END IF;
  PERFORM kelvor.kv_fail(3464); RETURN NULL;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_date() RETURNS timestamp LANGUAGE sql STABLE AS
$$ SELECT date_trunc('day', localtimestamp)::timestamp(0) $$;
CREATE OR REPLACE FUNCTION kelvor.kv_now() RETURNS timestamp LANGUAGE sql STABLE AS
$$ SELECT localtimestamp(0)::timestamp $$;
CREATE OR REPLACE FUNCTION kelvor.kv_time() RETURNS timestamp LANGUAGE sql STABLE AS
$$ SELECT TIMESTAMP '1899-12-30' + (localtimestamp(0) - date_trunc('day', localtimestamp(0))) $$;
CREATE OR REPLACE FUNCTION kelvor.kv_dayof(t timestamp) RETURNS timestamp LANGUAGE sql IMMUTABLE STRICT AS
$$ SELECT date_trunc('day', t) $$;

CREATE OR REPLACE FUNCTION kelvor.kv_daynumber(t timestamp) RETURNS bigint LANGUAGE sql IMMUTABLE STRICT AS
$$ SELECT (t::date - DATE '1899-12-30')::bigint $$;
CREATE OR REPLACE FUNCTION kelvor.kv_weekday(t timestamp) RETURNS integer LANGUAGE sql IMMUTABLE STRICT AS
$$ SELECT extract(dow FROM t)::integer + 1 $$;

CREATE OR REPLACE FUNCTION kelvor.kv_datediff(iv text, a timestamp, b timestamp) RETURNS integer
LANGUAGE plpgsql IMMUTABLE AS $$
DECLARE ya int; yb int; ma int; mb int; sa bigint; sb bigint;
BEGIN
  IF iv IS NULL OR a IS NULL OR b IS NULL THEN RETURN NULL; END IF;
  iv := lower(iv);
  ya := extract(year FROM a); yb := extract(year FROM b);
  ma := extract(month FROM a); mb := extract(month FROM b);
  sa := extract(epoch FROM a - TIMESTAMP '1899-12-30'); sb := extract(epoch FROM b - TIMESTAMP '1899-12-30');
  RETURN CASE iv
    WHEN 'yyyy' THEN yb - ya
    WHEN 'q' THEN (yb * 4 + (mb - 1) / 3) - (ya * 4 + (ma - 1) / 3)
    WHEN 'm' THEN (yb * 12 + mb) - (ya * 12 + ma)
    WHEN 'd' THEN kelvor.kv_daynumber(b) - kelvor.kv_daynumber(a)
    WHEN 'y' THEN kelvor.kv_daynumber(b) - kelvor.kv_daynumber(a)
    WHEN 'w' THEN (kelvor.kv_daynumber(b) - kelvor.kv_daynumber(a)) / 7
    WHEN 'ww' THEN floor((kelvor.kv_daynumber(b) + 6) / 7.0) - floor((kelvor.kv_daynumber(a) + 6) / 7.0)
    WHEN 'h' THEN floor(sb / 3600.0) - floor(sa / 3600.0)
    WHEN 'n' THEN floor(sb / 60.0) - floor(sa / 60.0)
    WHEN 's' THEN sb - sa
    ELSE kelvor.kv_raise(5, 0) END;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_dateadd(iv text, n double precision, t timestamp) RETURNS timestamp
LANGUAGE plpgsql IMMUTABLE AS $$
DECLARE k bigint; r timestamp;
BEGIN
  IF iv IS NULL OR n IS NULL OR t IS NULL THEN RETURN NULL; END IF;
  iv := lower(iv);
  IF iv NOT IN ('yyyy', 'q', 'm', 'y', 'd', 'w', 'ww', 'h', 'n', 's') THEN PERFORM kelvor.kv_fail(3464); END IF;
  k := kelvor.kv_even(n)::bigint;
  r := CASE iv
    WHEN 'yyyy' THEN t + make_interval(years => k::int)
    WHEN 'q' THEN t + make_interval(months => (3 * k)::int)
    WHEN 'm' THEN t + make_interval(months => k::int)
    WHEN 'ww' THEN t + make_interval(days => (7 * k)::int)
    WHEN 'h' THEN t + make_interval(hours => k::int)
    WHEN 'n' THEN t + make_interval(mins => k::int)
    WHEN 's' THEN t + make_interval(secs => k)
    ELSE t + make_interval(days => k::int) END;
  IF r < TIMESTAMP '0100-01-01' OR r > TIMESTAMP '9999-12-31 23:59:59' THEN PERFORM kelvor.kv_fail(5); END IF;
  RETURN r;
EXCEPTION WHEN datetime_field_overflow OR numeric_value_out_of_range OR interval_field_overflow THEN
  PERFORM kelvor.kv_fail(5); RETURN NULL;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_datepart(iv text, t timestamp) RETURNS integer LANGUAGE plpgsql IMMUTABLE AS $$
DECLARE jan1 timestamp;
BEGIN
  IF iv IS NULL OR t IS NULL THEN RETURN NULL; END IF;
  iv := lower(iv);
  jan1 := date_trunc('year', t);
  RETURN CASE iv
    WHEN 'yyyy' THEN extract(year FROM t)
    WHEN 'q' THEN extract(quarter FROM t)
    WHEN 'm' THEN extract(month FROM t)
    WHEN 'y' THEN extract(doy FROM t)
    WHEN 'd' THEN extract(day FROM t)
    WHEN 'w' THEN kelvor.kv_weekday(t)
    WHEN 'ww' THEN (kelvor.kv_daynumber(t) - kelvor.kv_daynumber(jan1) + kelvor.kv_weekday(jan1) - 1) / 7 + 1
    WHEN 'h' THEN extract(hour FROM t)
    WHEN 'n' THEN extract(minute FROM t)
    WHEN 's' THEN floor(extract(second FROM t))
    ELSE kelvor.kv_raise(5, 0) END;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_dateserial(y bigint, m bigint, d bigint) RETURNS timestamp
LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF y IS NULL OR m IS NULL OR d IS NULL THEN RETURN NULL; END IF;
  IF y >= 0 AND y < 30 THEN y := y + 2000; ELSIF y >= 30 AND y < 100 THEN y := y + 1900; END IF;
  RETURN kelvor.kv_datechk(make_timestamp(y::int, 1, 1, 0, 0, 0)
         + make_interval(months => (m - 1)::int) + make_interval(days => (d - 1)::int));
EXCEPTION WHEN datetime_field_overflow OR numeric_value_out_of_range THEN
  PERFORM kelvor.kv_fail(5); RETURN NULL;
END $$;

-- ---- text ----------------------------------------------------------------------------
CREATE OR REPLACE FUNCTION kelvor.kv_right(s text, n bigint) RETURNS text LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF s IS NULL OR n IS NULL THEN RETURN NULL; END IF;
  IF n < 0 THEN PERFORM kelvor.kv_fail(5); END IF;
  RETURN right(s, least(n, 2147483647)::int);
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_mid(s text, start bigint, n bigint DEFAULT 2147483647) RETURNS text
LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF s IS NULL OR start IS NULL OR n IS NULL THEN RETURN NULL; END IF;
  IF start < 1 OR n < 0 THEN PERFORM kelvor.kv_fail(5); END IF;
  RETURN substr(s, least(start, 2147483647)::int, least(n, 2147483647)::int);
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_left(s text, n bigint) RETURNS text LANGUAGE sql IMMUTABLE AS
$$ SELECT kelvor.kv_mid(s, 1, n) $$;
CREATE OR REPLACE FUNCTION kelvor.kv_ucase(s text) RETURNS text LANGUAGE sql IMMUTABLE STRICT AS
$$ SELECT upper(s COLLATE "und-x-icu") $$;
CREATE OR REPLACE FUNCTION kelvor.kv_lcase(s text) RETURNS text LANGUAGE sql IMMUTABLE STRICT AS
$$ SELECT lower(s COLLATE "und-x-icu") $$;
CREATE OR REPLACE FUNCTION kelvor.kv_asc(s text) RETURNS integer LANGUAGE plpgsql IMMUTABLE AS $$
BEGIN
  IF s IS NULL THEN RETURN NULL; END IF;
  IF s = '' THEN PERFORM kelvor.kv_fail(5); END IF;
  RETURN ascii(s);
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_space(n bigint) RETURNS text LANGUAGE sql IMMUTABLE STRICT AS
$$ SELECT repeat(' ', greatest(n, 0)::int) $$;
CREATE OR REPLACE FUNCTION kelvor.kv_instr(start bigint, x text, y text, textual bigint DEFAULT 1) RETURNS integer
LANGUAGE plpgsql IMMUTABLE AS $$
DECLARE p integer; s text COLLATE "C" := x; t text COLLATE "C" := y;
BEGIN
  IF start IS NULL OR s IS NULL OR t IS NULL THEN RETURN NULL; END IF;
  IF start < 1 THEN start := 1; END IF;
  IF start > length(s) + 1 THEN RETURN 0; END IF;
  IF textual IS NULL OR textual <> 0 THEN s := kelvor.kv_fold(s); t := kelvor.kv_fold(t); END IF;
  p := strpos(substr(s, start::int), t);
  RETURN CASE WHEN p = 0 THEN 0 ELSE p + start::int - 1 END;
END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_strcomp(a text, b text, textual bigint) RETURNS integer
LANGUAGE sql IMMUTABLE AS $$
SELECT CASE WHEN a IS NULL OR b IS NULL THEN NULL
            WHEN textual <> 0 THEN
              CASE WHEN a COLLATE kelvor.kelvor_text < b THEN -1 WHEN a COLLATE kelvor.kelvor_text > b THEN 1 ELSE 0 END
            ELSE CASE WHEN a COLLATE "C" < b THEN -1 WHEN a COLLATE "C" > b THEN 1 ELSE 0 END END $$;
-- Val: the number at the start of the text, blanks ignored; &H and &O numbers are 16-bit
-- when they fit four hex (six octal) digits, else 32-bit, as the runtime reads them.
CREATE OR REPLACE FUNCTION kelvor.kv_val(s text) RETURNS double precision LANGUAGE plpgsql IMMUTABLE STRICT AS $$
DECLARE t text COLLATE "C" := regexp_replace(s COLLATE "C", '[ \t\r\n]', '', 'g'); m text; v bigint := 0; hex boolean; i int; d int;
BEGIN
  IF t ~* '^&[ho]' AND length(t) > 2 THEN
    hex := upper(substr(t, 2, 1)) = 'H';
    m := substring(substr(t, 3) FROM CASE WHEN hex THEN '^[0-9A-Fa-f]*' ELSE '^[0-7]*' END);
    FOR i IN 1..length(m) LOOP
      d := strpos('0123456789abcdef', lower(substr(m, i, 1))) - 1;
      v := (v * CASE WHEN hex THEN 16 ELSE 8 END + d) & 4294967295;
    END LOOP;
    d := CASE WHEN hex THEN 4 ELSE 6 END;
    IF length(m) <= d AND v <= 65535 THEN
      RETURN CASE WHEN v >= 32768 THEN v - 65536 ELSE v END;
    END IF;
    RETURN CASE WHEN v >= 2147483648 THEN v - 4294967296 ELSE v END;
  END IF;
  m := substring(t FROM '^[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eEdD][+-]?[0-9]+)?');
  IF m IS NULL THEN
    m := substring(t FROM '^[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)');
  END IF;
  RETURN coalesce(translate(m, 'dD', 'ee')::double precision, 0);
EXCEPTION WHEN numeric_value_out_of_range THEN PERFORM kelvor.kv_fail(6); RETURN NULL;
END $$;

-- Format: named formats, number patterns (0 # , . % and literal text, sections for negative
-- numbers and zero), date patterns (yyyy yy mmmm mmm mm m dd d hh h nn ss AM/PM) and > < on
-- text, as the SQLite side's kv_format. `v` is the value as text, `type` its engine type.
CREATE OR REPLACE FUNCTION kelvor.kv_fmtnumber(x double precision, g text) RETURNS text
LANGUAGE plpgsql IMMUTABLE AS $$
DECLARE f text COLLATE "C" := g; sections text[] := regexp_split_to_array(g COLLATE "C", ';'); minus boolean := x < 0;
        pt int; ip text; fp text; minint int; fracreq int; fracall int; grouping boolean;
        digits text; frac text; prefix text; suffix text; n numeric;
BEGIN
  f := sections[1];
  IF x < 0 AND array_length(sections, 1) > 1 AND sections[2] <> '' THEN f := sections[2]; minus := false;
  ELSIF x = 0 AND array_length(sections, 1) > 2 AND sections[3] <> '' THEN f := sections[3];
  END IF;
  x := abs(x);
  IF strpos(f, '%') > 0 THEN x := x * 100; END IF;
  pt := strpos(f, '.');
  ip := CASE WHEN pt = 0 THEN f ELSE left(f, pt - 1) END;
  fp := CASE WHEN pt = 0 THEN '' ELSE substr(f, pt + 1) END;
  minint := length(ip) - length(replace(ip, '0', ''));
  fracreq := length(fp) - length(replace(fp, '0', ''));
  fracall := fracreq + length(fp) - length(replace(fp, '#', ''));
  grouping := ip ~ '[0#].*,';
  n := round(x::numeric, fracall);
  digits := trunc(n)::text;
  frac := CASE WHEN fracall > 0 THEN substr(to_char(n - trunc(n), 'FM0.' || repeat('0', fracall)), 3) ELSE '' END;
  WHILE length(frac) > fracreq AND right(frac, 1) = '0' LOOP frac := left(frac, length(frac) - 1); END LOOP;
  IF digits = '0' AND minint = 0 THEN digits := ''; END IF;
  digits := lpad(digits, greatest(minint, length(digits)), '0');
  IF grouping THEN digits := regexp_replace(digits, '(\d)(?=(\d{3})+$)', '\1,', 'g'); END IF;
  prefix := (regexp_match(f, '^[^0#.]*'))[1];
  suffix := coalesce((regexp_match(f, '[0#.]([^0#.]*)$'))[1], '');
  prefix := replace(regexp_replace(prefix, '[,"]', '', 'g'), '\', '');
  suffix := replace(regexp_replace(suffix, '[,"]', '', 'g'), '\', '');
  RETURN CASE WHEN minus THEN '-' ELSE '' END || prefix || digits
         || CASE WHEN frac <> '' THEN '.' || frac ELSE '' END || suffix;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_fmtdate(t timestamp, g text) RETURNS text LANGUAGE plpgsql IMMUTABLE AS $$
DECLARE f text COLLATE "C" := g; r text := ''; i int := 1; tok text; twelve boolean := g COLLATE "C" ~* 'am/pm'; h int := extract(hour FROM t);
BEGIN
  WHILE i <= length(f) LOOP
    tok := substring(substr(f, i) FROM '^(yyyy|yy|mmmm|mmm|mm|m|dddd|ddd|dd|d|hh|h|nn|n|ss|s|AM/PM|am/pm)');
    IF tok IS NULL THEN
      tok := substr(f, i, 1);
      IF tok <> '"' THEN r := r || tok; END IF;
    ELSE
      r := r || CASE lower(tok)
        WHEN 'yyyy' THEN to_char(t, 'YYYY') WHEN 'yy' THEN to_char(t, 'YY')
        WHEN 'mmmm' THEN to_char(t, 'FMMonth') WHEN 'mmm' THEN to_char(t, 'Mon')
        WHEN 'mm' THEN to_char(t, 'MM') WHEN 'm' THEN to_char(t, 'FMMM')
        WHEN 'dddd' THEN to_char(t, 'FMDay') WHEN 'ddd' THEN to_char(t, 'Dy')
        WHEN 'dd' THEN to_char(t, 'DD') WHEN 'd' THEN to_char(t, 'FMDD')
        WHEN 'hh' THEN lpad(CASE WHEN twelve THEN ((h + 11) % 12 + 1) ELSE h END::text, 2, '0')
        WHEN 'h' THEN CASE WHEN twelve THEN ((h + 11) % 12 + 1) ELSE h END::text
        WHEN 'nn' THEN to_char(t, 'MI') WHEN 'n' THEN to_char(t, 'FMMI')
        WHEN 'ss' THEN to_char(t, 'SS') WHEN 's' THEN to_char(t, 'FMSS')
        ELSE CASE WHEN h < 12 THEN 'AM' ELSE 'PM' END END;
    END IF;
    i := i + length(tok);
  END LOOP;
  RETURN r;
END $$;

CREATE OR REPLACE FUNCTION kelvor.kv_format(w text, g text, type integer) RETURNS text
LANGUAGE plpgsql IMMUTABLE AS $$
DECLARE v text COLLATE "C" := w; f text COLLATE "C" := g;
BEGIN
  IF v IS NULL THEN RETURN NULL; END IF;
  f := coalesce(CASE lower(f) WHEN 'fixed' THEN '0.00' WHEN 'standard' THEN '#,##0.00'
    WHEN 'percent' THEN '0.00%' WHEN 'general number' THEN '' WHEN 'short date' THEN 'm/d/yyyy'
    WHEN 'long time' THEN 'h:nn:ss AM/PM' WHEN 'short time' THEN 'hh:nn'
    WHEN 'medium date' THEN 'dd-mmm-yy' ELSE f END, '');
  IF f = '' THEN RETURN v; END IF;
  IF type = 8 THEN RETURN kelvor.kv_fmtdate(v::timestamp, f); END IF;
  IF type IN (10, 12) OR (type = 0 AND v !~ '^\s*[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?\s*$') THEN
    IF strpos(f, '>') > 0 THEN RETURN kelvor.kv_ucase(v); END IF;
    IF strpos(f, '<') > 0 THEN RETURN kelvor.kv_lcase(v); END IF;
    RETURN v;
  END IF;
  RETURN kelvor.kv_fmtnumber(v::double precision, f);
END $$;

-- ---- aggregates ----------------------------------------------------------------------
-- First and Last keep a row's value, Null or not: the state is a one-element array.
CREATE OR REPLACE FUNCTION kelvor.kv_first_step(s anyarray, v anyelement) RETURNS anyarray
LANGUAGE sql IMMUTABLE AS $$ SELECT CASE WHEN s IS NULL THEN ARRAY[v] ELSE s END $$;
CREATE OR REPLACE FUNCTION kelvor.kv_last_step(s anyarray, v anyelement) RETURNS anyarray
LANGUAGE sql IMMUTABLE AS $$ SELECT ARRAY[v] $$;
CREATE OR REPLACE FUNCTION kelvor.kv_kept(s anyarray) RETURNS anyelement
LANGUAGE sql IMMUTABLE AS $$ SELECT s[1] $$;
CREATE AGGREGATE kelvor.kv_first(anyelement)
  (SFUNC = kelvor.kv_first_step, STYPE = anyarray, FINALFUNC = kelvor.kv_kept);
CREATE AGGREGATE kelvor.kv_last(anyelement)
  (SFUNC = kelvor.kv_last_step, STYPE = anyarray, FINALFUNC = kelvor.kv_kept);

-- x Between lo And hi with x computed once: PostgreSQL writes Between as two comparisons
-- of one copy each, which nested Betweens would double at every level.
CREATE OR REPLACE FUNCTION kelvor.kv_between(x anyelement, lo anyelement, hi anyelement)
RETURNS boolean LANGUAGE plpgsql IMMUTABLE AS $$ BEGIN RETURN x BETWEEN lo AND hi; END $$;
)SQL";

}  // namespace

JetError ErrorOf(const PGresult* res) {
    std::string message = res ? PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY)
                                    ? PQresultErrorField(res, PG_DIAG_MESSAGE_PRIMARY)
                                    : ""
                              : "";
    const char* stateField = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
    std::string_view state = stateField ? stateField : "";
    const std::string prefix = sqlite::kRuntimeErrorPrefix;
    if (message.rfind(prefix, 0) == 0) {
        int n = std::atoi(message.c_str() + prefix.size());
        return JetError::make(n);
    }
    // PostgreSQL's own failures that are the engine's errors.
    static const struct {
        const char* state;
        int number;
    } kStates[] = {
        {"22012", err::kDivisionByZero},        // division by zero
        {"22003", err::kOverflow},              // numeric value out of range
        {"22008", err::kOverflow},              // datetime field overflow
        {"2201F", err::kInvalidProcedureCall},  // square root of a negative number
        {"2201E", err::kInvalidProcedureCall},  // logarithm of zero or a negative number
        {"22001", err::kFieldTooSmall},         // string data right truncation
        {"23505", err::kDuplicateKey},          // unique violation
        {"23502", err::kFieldRequired},         // not null violation
        {"23514", err::kFieldTooSmall},         // check violation
        {"22P02", err::kDataTypeMismatch},
        {"42804", err::kDataTypeMismatch},
        {"42P01", err::kInputTableNotFound},
        {"54001", err::kQueryTooComplex},  // statement too complex
        {"53200", err::kOutOfMemory},
    };
    if (state == "23514") {
        const char* constraint = PQresultErrorField(res, PG_DIAG_CONSTRAINT_NAME);
        if (constraint && std::string_view(constraint) == "kv_currency_range")
            return JetError::make(err::kOverflow);
    }
    for (const auto& s : kStates) {
        if (state != s.state) continue;
        if (s.number == err::kFieldRequired) {
            const char* column = PQresultErrorField(res, PG_DIAG_COLUMN_NAME);
            const char* table = PQresultErrorField(res, PG_DIAG_TABLE_NAME);
            return JetError::make(s.number, std::string(table ? table : "") + "." +
                                                std::string(column ? column : ""));
        }
        if (s.number == err::kInputTableNotFound) return JetError::make(s.number, message);
        return JetError::make(s.number);
    }
    return JetError(err::kSyntaxError, "Database engine error: " + message);
}

Result Exec(PGconn* conn, const std::string& sql, const std::vector<const char*>& params) {
    // Every parameter goes as text; the statement casts each to the type its place needs.
    const std::vector<Oid> types(params.size(), 25);
    ++RoundTrips();
    Result r(PQexecParams(conn, sql.c_str(), static_cast<int>(params.size()), types.data(),
                          params.data(), nullptr, nullptr, 0));
    ExecStatusType st = PQresultStatus(r.get());
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) {
        if (!r.get()) throw JetError(err::kSyntaxError, PQerrorMessage(conn));
        throw ErrorOf(r.get());
    }
    return r;
}

void InstallLibrary(PGconn* conn) {
    Exec(conn, "BEGIN");
    try {
        Exec(conn, "SELECT pg_advisory_xact_lock(4929121)");    // one installer at a time
        Exec(conn, "SET LOCAL client_min_messages = warning");  // "already exists, skipping"
        int version = 0;
        Result has = Exec(conn, "SELECT to_regclass('kelvor.library') IS NOT NULL");
        if (std::string_view(PQgetvalue(has.get(), 0, 0)) == "t") {
            Result v = Exec(conn, "SELECT max(version) FROM kelvor.library");
            version = std::atoi(PQgetvalue(v.get(), 0, 0));
        }
        // A library as new as this one or newer (a newer program's, with the same names and
        // meanings) stays; an older one is replaced.
        if (version < kLibraryVersion) {
            Result r(PQexec(conn, kLibrary));
            if (PQresultStatus(r.get()) != PGRES_COMMAND_OK &&
                PQresultStatus(r.get()) != PGRES_TUPLES_OK)
                throw ErrorOf(r.get());
            Exec(conn, "DELETE FROM kelvor.library");
            Exec(conn,
                 "INSERT INTO kelvor.library VALUES (" + std::to_string(kLibraryVersion) + ")");
        }
        Exec(conn, "COMMIT");
    } catch (...) {
        Result r(PQexec(conn, "ROLLBACK"));
        throw;
    }
}

}  // namespace kelvor::pg
